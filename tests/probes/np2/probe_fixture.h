#pragma once
// A simulated board with an NP2 headstage on port 0: a single-shank probe in
// dock 0 and a four-shank probe in dock 1, reached through the library's
// own UART, PortIIC and Serializer on a configuration link.
#include <memory>

#include <gtest/gtest.h>

#include "pelionp/links/port_iic.h"
#include "pelionp/links/serdes.h"
#include "pelionp/links/uart.h"
#include "pelionp/probes/np2/init.h"
#include "sim/board.h"
#include "sim/headstage.h"
#include "sim/probes/np2_probe.h"

namespace pelionp::test {

class NP2ProbeBoard : public ::testing::Test {
protected:
    NP2ProbeBoard()
        : headstage(std::make_shared<sim::Headstage>(true)),
          single({0x1122334455667788ULL, 2, 1, "NPNH_HS_30", "NP2003"}),
          four({0x0102030405060708ULL, 2, 1, "NPNH_HS_31", "NP2014"}),
          uart(UART::init(board)),
          port(0, uart),
          serializer(port) {
        single.dock_into(headstage->dock(0));
        four.dock_into(headstage->dock(1));
        board.plug(0, headstage);
        // Configuration link: the chips behind the serializer answer.
        EXPECT_TRUE(headstage->serializer().write(0x04, std::vector<uint8_t>{0x43}));
        // The docks' supplies, in the order the headstage's power-up switches them on.
        EXPECT_TRUE(port.write(0x80, 0x0F, {0xC1}));
        EXPECT_TRUE(port.write(0x80, 0x0E, {0x7E}));
        for (uint8_t gpio : {0xC9, 0xE9, 0xED}) EXPECT_TRUE(port.write(0x80, 0x0F, {gpio}));
    }

    NP2::ProbeHandle init_or_fail(NP2::Dock dock) {
        auto probe = NP2::init(serializer, dock);
        EXPECT_TRUE(probe) << probe.error();
        return probe ? std::move(*probe) : nullptr;
    }

    sim::Board board;
    std::shared_ptr<sim::Headstage> headstage;
    sim::NP2Probe single;
    sim::NP2Probe four;
    UART uart;
    PortIIC port;
    Serializer serializer;
};

}  // namespace pelionp::test
