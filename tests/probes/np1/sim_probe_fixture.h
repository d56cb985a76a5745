#pragma once
// The real NP1 probe code against the simulated board: a UART over a Board,
// an NP1 headstage with its probe on a port, the link brought up to the
// configuration link.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pelionp/links/link_state.h"
#include "pelionp/links/port_iic.h"
#include "pelionp/links/uart.h"
#include "pelionp/probes/np1/probe.h"
#include "sim/board.h"
#include "sim/headstages/np_headstages.h"
#include "sim/probes/np1_probe.h"

namespace pelionp::test {

class SimNp1Probe : public ::testing::Test {
protected:
    static constexpr int PORT = 2;

    SimNp1Probe()
        : uart(UART::init(board)), headstage(sim::make_np1_headstage()), hs(sim::attach_np1_probe(*headstage, identity())) {
        board.plug(PORT, headstage);
        auto disconnected = DisconnectedSerDes::init(PortIIC(PORT, uart));
        if (!disconnected) throw std::runtime_error("deserializer init: " + disconnected.error());
        link.emplace(std::move(*disconnected));
        if (auto c = try_make_connected(*link, Preemphasis::None); !c) throw std::runtime_error("link: " + c.error());
    }

    ~SimNp1Probe() override { EXPECT_EQ(board.take_protocol_errors(), std::vector<std::string>{}); }

    static sim::NP1ProbeIdentity identity() {
        return {.serial = 0x0000000431A2B3C4ULL, .version_major = 3, .version_minor = 255,
                .flex_pn = "NP2_FLEX_0", .probe_pn = "PRB_1_4_0480_1"};
    }

    Serializer& serializer() { return std::get<ConfigLinkedSerDes>(*link).serializer; }

    std::unique_ptr<NP1::Probe> make_probe() {
        auto probe = NP1::Probe::init(serializer());
        if (!probe) throw std::runtime_error("probe init: " + probe.error());
        hs.chip->clear_writes();
        return std::move(*probe);
    }

    /// NACKs every access to a probe register from now on.
    void nack_probe_register(uint8_t reg, bool reads = true, bool writes = true) {
        board.nack(PORT, sim::NackRule{.address = 0xE0, .reg = reg, .reads = reads, .writes = writes, .count = std::nullopt});
    }

    sim::Board board;
    UART uart;
    std::shared_ptr<sim::Headstage> headstage;
    sim::NP1ProbeSim hs;
    std::optional<SerDesState> link;
};

}  // namespace pelionp::test
