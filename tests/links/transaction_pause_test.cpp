// The pause that ends every acknowledged I2C transaction is held inside the
// UART lock: with two threads on the UART, no frame of either is loaded
// until the pause after the reply before it has passed.
#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/links/probe_iic.h"
#include "sim/chips/eeprom.h"
#include "tests/links/sim_fixture.h"
#include "tests/support/gate.h"

namespace pelionp::test {
namespace {

using namespace std::chrono_literals;
using Kind = sim::LineEvent::Kind;

constexpr int ROUNDS = 30;
constexpr auto PAUSE = 500us;

class TransactionPause : public SimLink {
protected:
    TransactionPause() { board.record_line_events(true); }

    /// Runs `work` on two threads at once, then checks every gap
    /// between a reply taken and the next frame loaded; returns how many of
    /// those gaps passed from one thread to the other.
    template <typename Work>
    std::size_t run_and_check(Work&& work) {
        Gate start;
        std::thread other([&] {
            start.wait();
            work(1);
        });
        start.open();
        work(0);
        other.join();

        const auto events = board.line_events();
        std::size_t gaps = 0, handoffs = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].kind != Kind::reply_taken) continue;
            const auto next = std::find_if(events.begin() + static_cast<std::ptrdiff_t>(i) + 1, events.end(),
                                           [](const auto& e) { return e.kind == Kind::frame_loaded; });
            if (next == events.end()) continue;
            ++gaps;
            if (next->thread != events[i].thread) ++handoffs;
            // NB: a lower bound only (the pause is at least that long).
            EXPECT_GE(next->at - events[i].at, PAUSE) << "frame loaded on port " << next->port << " during the pause "
                                                      << "after a reply on port " << events[i].port << " (event " << i
                                                      << ")";
        }
        EXPECT_GE(gaps, std::size_t{2 * ROUNDS - 1});
        return handoffs;
    }
};

TEST_F(TransactionPause, TwoPortsNeverStartAFrameInsideTheOthersPause) {
    board.deserializer(2).poke(0x08, 0x22);
    board.deserializer(0).poke(0x08, 0x11);
    const std::array ports{PortIIC(0, uart), PortIIC(2, uart)};
    const auto handoffs = run_and_check([&](int index) {
        const auto& port = ports[static_cast<std::size_t>(index)];
        const uint8_t value = index == 0 ? 0x11 : 0x22;
        for (int i = 0; i < ROUNDS; ++i) {
            EXPECT_EQ(port.read(0x90, 0x08, 1), (std::vector<uint8_t>{value}));
            EXPECT_TRUE(port.set_bits(0x90, 0x08, value, 0xFF));
        }
    });
    EXPECT_GE(handoffs, 1u);  // at least once the other thread took over the UART
}

TEST_F(TransactionPause, TwoDocksNeverStartAFrameInsideTheOthersPause) {
    // An NP2-style headstage on port 1, on its configuration link, docks powered.
    auto np2 = std::make_shared<sim::Headstage>(true);
    board.plug(1, np2);
    {
        const auto hold = board.hold();
        np2->serializer().poke(0x04, 0x43);
        np2->set_supply_order_enforced(false);
        for (int dock = 0; dock < 2; ++dock) {
            auto chip = std::make_shared<sim::EepromChip>(1, 256);
            chip->load(0, std::vector<uint8_t>{static_cast<uint8_t>(0xD0 + dock)});
            np2->dock(dock).attach(0x20, chip);
        }
    }
    const PortIIC port(1, uart);
    std::array docks{NP2::ProbeIIC(NP2::Dock::DOCK0, port), NP2::ProbeIIC(NP2::Dock::DOCK1, port)};
    const auto handoffs = run_and_check([&](int index) {
        auto& dock = docks[static_cast<std::size_t>(index)];
        for (int i = 0; i < ROUNDS / 3; ++i)
            EXPECT_EQ(dock.read(0x20, 0, 1), (std::vector<uint8_t>{static_cast<uint8_t>(0xD0 + index)}));
    });
    EXPECT_GE(handoffs, 1u);
}

}  // namespace
}  // namespace pelionp::test
