// Ports and headstage detection on the simulated board.

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/controller/np_port.h"
#include "tests/support/gate.h"
#include "tests/controller/sim_rig.h"
#include "tests/support/log_capture.h"

namespace {

using namespace pelionp;
using demux::SID;
using test::CountingWorker;
using test::LogCapture;
using test::SimRig;

TEST(ControllerPorts, OneLivePortPerNumber) {
    SimRig rig;
    auto first = rig.port(1);
    auto second = rig.port(1);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_NE(rig.port(2).get(), first.get());

    // Once every holder let go, the next call makes a new port and
    // initialises the deserializer again.
    first.reset();
    second.reset();
    const auto init_writes = rig.board->deserializer(1).writes(0x04);
    auto third = rig.port(1);
    EXPECT_EQ(rig.board->deserializer(1).writes(0x04), init_writes + 1);
}

TEST(ControllerPorts, DeserializerFailureNamesBothLevels) {
    SimRig rig;
    rig.board->nack(3, sim::NackRule::chip(0x90));
    auto made = rig.controller->get_np_port(3);
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error(), "Failed to init NP port Failed to init deserializer: I2C::write ACK error");
    rig.board->clear_nacks(3);
    EXPECT_TRUE(rig.controller->get_np_port(3).has_value());
}

TEST(ControllerPorts, APortKeepsTheControllerAlive) {
    auto rig = std::make_unique<SimRig>();
    auto port = rig->port(0);
    std::weak_ptr<NPController> watch = rig->controller;
    auto board = rig->board;
    rig.reset();
    ASSERT_FALSE(watch.expired());
    port.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(ControllerPorts, DroppingAPortReleasesItsStreamsAndReconcilesOnce) {
    SimRig rig;
    rig.board->plug(2, sim::make_np2_headstage());
    rig.board->plug(1, sim::make_np1_headstage());
    CountingWorker dock0(SID::NP2_PORT2_DOCK0), dock1(SID::NP2_PORT2_DOCK1), other(SID::NP1_PORT1);
    auto port2 = rig.port(2);
    ASSERT_TRUE(rig.controller->detect_headstage(*port2).has_value());
    ASSERT_TRUE(rig.controller->start_stream(dock0).has_value());
    ASSERT_TRUE(rig.controller->start_stream(dock1).has_value());
    ASSERT_TRUE(rig.controller->start_stream(other).has_value());
    EXPECT_EQ(rig.stream_control() & 0xF, 0x6u);

    port2.reset();
    // Port 2's producer is off, port 1's is still on, and the stream runs.
    EXPECT_EQ(rig.stream_control() & 0xF, 0x2u);
    EXPECT_TRUE(other.receives());
    // The workers of port 2 no longer receive: a new start succeeds.
    EXPECT_TRUE(rig.controller->start_stream(dock0).has_value());
}

TEST(ControllerPorts, DetectsNp1AndClearsTheDemultiplexerBit) {
    SimRig rig;
    rig.board->plug(0, sim::make_np1_headstage("NP1_HS_30"));
    rig.board->poke(0x1404, 1u << 16);
    auto port = rig.port(0);
    auto detected = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(detected.has_value()) << detected.error();
    ASSERT_TRUE(std::holds_alternative<std::reference_wrapper<NP1::Headstage>>(*detected));
    EXPECT_EQ(std::get<0>(*detected).get().part_number, "NP1_HS_30");
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(port->serdes));
    EXPECT_EQ(rig.stream_control() & (1u << 16), 0u);
    EXPECT_TRUE(sim::np1_led_lit(*rig.board->headstage(0)));
}

TEST(ControllerPorts, DetectsNp2AndSetsTheDemultiplexerBit) {
    SimRig rig;
    rig.board->plug(3, sim::make_np2_headstage("NP2_HS_30"));
    auto port = rig.port(3);
    auto detected = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(detected.has_value()) << detected.error();
    ASSERT_TRUE(std::holds_alternative<std::reference_wrapper<NP2::Headstage>>(*detected));
    EXPECT_EQ(std::get<1>(*detected).get().part_number, "NP2_HS_30");
    EXPECT_EQ(rig.stream_control(), 1u << 19);
}

TEST(ControllerPorts, NothingPluggedIsReportedWithoutADemultiplexerWrite) {
    SimRig rig;
    auto port = rig.port(1);
    rig.board->record_frames(true);
    auto detected = rig.controller->detect_headstage(*port);
    ASSERT_FALSE(detected.has_value());
    EXPECT_EQ(detected.error(),
              "Failed to connect serializer: Failed to config serializer: I2C::read ACK error");
    EXPECT_FALSE(port->headstage.has_value());

    // A serializer with nothing behind it: both EEPROM probes fail.
    auto bare = std::make_shared<sim::Headstage>();
    rig.board->plug(1, bare);
    const auto before = rig.stream_control();
    detected = rig.controller->detect_headstage(*port);
    ASSERT_FALSE(detected.has_value());
    EXPECT_EQ(detected.error(), "No known headstage detected");
    EXPECT_EQ(rig.stream_control(), before);
}

TEST(ControllerPorts, AHealthyHeadstageIsOnlySelfTested) {
    LogCapture log;
    SimRig rig;
    log.force_level(spdlog::level::debug);
    rig.board->plug(0, sim::make_np2_headstage());
    auto port = rig.port(0);
    auto first = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(first.has_value());

    log.clear();
    rig.board->record_frames(true);
    auto again = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(&std::get<1>(*again).get(), &std::get<1>(*first).get());
    EXPECT_EQ(port->generation, 0u);
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Port 0: Headstage already initialized"));
    // Only headstage EEPROM traffic (through the serializer): no deserializer
    // access and no probe of 0xB4.
    for (const auto& frame : rig.board->frames()) {
        const uint8_t device = frame.frame.at(1) & 0xFE;
        EXPECT_TRUE(device == 0x80 || device == 0xA4) << "device 0x" << std::hex << int(device);
    }
}

// The re-plug check reads the serializer's GPIO enable register. One read
// that comes back wrong (a glitch) must not re-initialise a healthy
// headstage and drop its streams; a second read agreeing confirms a change.
struct GlitchCase {
    const char* name;
    bool np2;
    std::size_t glitched_reads;
    bool reinitialised;
};

class ReplugCheckGlitch : public ::testing::TestWithParam<GlitchCase> {};

TEST_P(ReplugCheckGlitch, OnlyAConfirmedMismatchReinitialises) {
    const auto& c = GetParam();
    LogCapture log;
    SimRig rig;
    log.force_level(spdlog::level::debug);
    rig.board->plug(1, c.np2 ? sim::make_np2_headstage() : sim::make_np1_headstage());
    auto port = rig.port(1);
    ASSERT_TRUE(rig.controller->detect_headstage(*port).has_value());
    CountingWorker worker(c.np2 ? SID::NP2_PORT1_DOCK0 : SID::NP1_PORT1);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    const uint32_t streaming = rig.stream_control();

    log.clear();
    rig.board->glitch_reads(1, {0x80, 0x0E, 0x00, c.glitched_reads});
    auto again = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(again.has_value()) << again.error();
    EXPECT_EQ(port->generation, c.reinitialised ? 1u : 0u);
    EXPECT_EQ(log.contains(spdlog::level::debug, "Port 1: Headstage already initialized"), !c.reinitialised);
    const auto expected = fmt::format("Port 1: serializer GPIO enable read 0x00, expected 0x{:02X}", c.np2 ? 0x7E : 0x42);
    EXPECT_EQ(log.count_containing(expected), c.glitched_reads);
    if (!c.reinitialised) {
        EXPECT_EQ(rig.stream_control(), streaming);
        EXPECT_TRUE(worker.receives());
    }
    EXPECT_TRUE(rig.controller->stop_stream(worker).has_value());
}

INSTANTIATE_TEST_SUITE_P(Reads, ReplugCheckGlitch,
                         ::testing::Values(GlitchCase{"Np1OneGlitch", false, 1, false},
                                           GlitchCase{"Np2OneGlitch", true, 1, false},
                                           GlitchCase{"Np1Confirmed", false, 2, true},
                                           GlitchCase{"Np2Confirmed", true, 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControllerPorts, AFailingSelfTestReinitialisesAndReleasesTheStreams) {
    LogCapture log;  // outlives the threads that log
    SimRig rig;
    log.force_level(spdlog::level::debug);
    rig.board->plug(1, sim::make_np1_headstage("FIRST"));
    auto port = rig.port(1);
    ASSERT_TRUE(rig.controller->detect_headstage(*port).has_value());
    CountingWorker worker(SID::NP1_PORT1);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    ASSERT_TRUE(worker.receives());

    {
        auto headstage = rig.board->headstage(1);
        auto hold = rig.board->hold();
        sim::headstage_eeprom(*headstage)->set_write_protect(true);
    }
    auto redetected = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(redetected.has_value()) << redetected.error();
    EXPECT_EQ(port->generation, 1u);
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Port 1: Headstage EEPROM check failed, re-initializing"));
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Disabling streaming"));
    EXPECT_EQ(rig.stream_control() & 0x2, 0u);
    // The worker was unsubscribed: it can be started again.
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_EQ(rig.board->streams_started(), 2u);
}

// A worker whose resync, once armed, waits for the test: a host callback
// that keeps the controller's mutex held for as long as the test wants.
struct HoldingWorker final : demux::NeuropixelsWorker {
    struct Idle {
        void reset() {}
        void decode(uint64_t, const uint8_t*) {}
    };
    explicit HoldingWorker(SID sid) : NeuropixelsWorker(sid, [] {}) { start(Idle{}); }
    ~HoldingWorker() override { stop_and_join(); }
    void wait_for_resync() override {
        if (armed.exchange(false)) {
            entered.open();
            go.wait();
        }
        NeuropixelsWorker::wait_for_resync();
    }
    std::atomic<bool> armed{false};
    test::Gate entered;
    test::Gate go;
};

// The last holder drops a port while the controller is busy, so its release
// waits for the mutex; meanwhile another thread asks for the same port
// number. The new port must not be handed out before the old one's release
// has run: that release would switch off streams of the new port.
TEST(ControllerPorts, AReleaseStillPendingIsWaitedForBeforeANewPortIsMade) {
    SimRig rig;
    rig.board->plug(0, sim::make_np1_headstage());
    auto old_port = rig.port(0);
    constexpr int ROUNDS = 6;  // the two threads' order is up to the scheduler; each round tries it
    for (int round = 0; round < ROUNDS; ++round) {
        auto stale = std::make_unique<CountingWorker>(SID::NP1_PORT0);
        HoldingWorker holder_worker(SID::NP1_PORT3);
        ASSERT_TRUE(rig.controller->start_stream(*stale).has_value());
        ASSERT_TRUE(rig.controller->start_stream(holder_worker).has_value());
        ASSERT_EQ(rig.stream_control() & 0x1, 0x1u);

        holder_worker.armed.store(true);
        std::thread holder([&] { EXPECT_TRUE(rig.controller->stop_stream(holder_worker).has_value()); });
        holder_worker.entered.wait();  // the controller's mutex is held from here
        stale.reset();  // its subscription is stale now; only a reconciliation or the port's release ends it

        std::weak_ptr<NPPort> watch = old_port;
        std::thread dropper([port = std::move(old_port)]() mutable { port.reset(); });
        ASSERT_TRUE(test::eventually([&] { return watch.expired(); }));

        std::shared_ptr<NPPort> successor;
        uint32_t control_at_return = 0;
        std::thread taker([&] {
            auto made = rig.controller->get_np_port(0);
            control_at_return = rig.stream_control();
            if (made) successor = *made;
        });
        holder_worker.go.open();
        holder.join();
        dropper.join();
        taker.join();
        ASSERT_TRUE(successor);
        EXPECT_EQ(control_at_return & 0x1, 0u) << "round " << round << ": the new port came before the old release";
        old_port = std::move(successor);
    }
}

// Two threads ask for a port number whose old port's release is pending
// (its deleter waits for the controller's mutex), so both wait for it. The
// first to wake makes the new port; the other must be handed that same port,
// not sleep until it is dropped.
TEST(ControllerPorts, TwoWaitersForAPendingReleaseGetTheSameNewPort) {
    test::Gate releasing, both_waiting;
    std::atomic<int> waiting{0};
    SimRig rig;
    auto old_port = rig.port(1);
    rig.controller->set_test_hooks({
        .before_port_release =
            [&](int) {
                releasing.open();
                EXPECT_TRUE(both_waiting.wait_for(std::chrono::seconds(10)));
            },
        .waiting_for_release = [&](int) {
            if (waiting.fetch_add(1) + 1 == 2) both_waiting.open();
        },
    });
    std::thread dropper([port = std::move(old_port)]() mutable { port.reset(); });
    ASSERT_TRUE(releasing.wait_for(std::chrono::seconds(10)));
    const auto ask = [&](std::promise<std::shared_ptr<NPPort>>& answer) {
        auto made = rig.controller->get_np_port(1);
        answer.set_value(made ? *made : nullptr);
    };
    std::promise<std::shared_ptr<NPPort>> first_answer, second_answer;
    auto first = first_answer.get_future();
    auto second = second_answer.get_future();
    std::thread a([&] { ask(first_answer); });
    std::thread b([&] { ask(second_answer); });
    const bool first_ready = first.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    const bool second_ready = second.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(first_ready && second_ready) << "a waiter slept past the live port";
    std::shared_ptr<NPPort> p1, p2;
    // A waiter still asleep wakes once the port it missed is dropped.
    if (first_ready) p1 = first.get();
    if (!second_ready) p1.reset();
    p2 = second.get();
    if (!first_ready) {
        p2.reset();
        p1 = first.get();
    }
    a.join();
    b.join();
    dropper.join();
    if (first_ready && second_ready) {
        ASSERT_TRUE(p1 && p2);
        EXPECT_EQ(p1.get(), p2.get());
    }
    EXPECT_GE(waiting.load(), 2);
    rig.controller->set_test_hooks({});
}

// A headstage unplugged and plugged back (the same kind or the other one)
// while the controller and the port live: detection must notice that the
// hardware changed, bring the new serializer up and replace the headstage.
struct ReplugCase {
    const char* name;
    bool first_np2;
    bool second_np2;
};

class HeadstageReplug : public ::testing::TestWithParam<ReplugCase> {};

TEST_P(HeadstageReplug, DetectionReinitialisesTheNewHeadstage) {
    const auto& c = GetParam();
    LogCapture log;
    SimRig rig;
    log.force_level(spdlog::level::debug);
    const auto make = [](bool np2, const char* pn) {
        return np2 ? sim::make_np2_headstage(pn) : sim::make_np1_headstage(pn);
    };
    rig.board->plug(2, make(c.first_np2, "FIRST"));
    auto port = rig.port(2);
    ASSERT_TRUE(rig.controller->detect_headstage(*port).has_value());
    ASSERT_EQ(port->generation, 0u);

    rig.board->unplug(2);
    auto second = make(c.second_np2, "SECOND");
    rig.board->plug(2, second);

    auto redetected = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(redetected.has_value()) << redetected.error();
    EXPECT_EQ(redetected->index(), c.second_np2 ? 1u : 0u);
    EXPECT_EQ(port->generation, 1u);
    EXPECT_FALSE(log.contains(spdlog::level::debug, "Port 2: Headstage already initialized"));
    EXPECT_TRUE(log.contains(spdlog::level::debug,
                             "Port 2: Headstage no longer matches the port (re-plugged?), re-initializing"));
    const std::string part_number =
        std::visit([](auto ref) { return ref.get().part_number; }, *redetected);
    EXPECT_EQ(part_number, "SECOND");
    EXPECT_TRUE(std::holds_alternative<ConfigLinkedSerDes>(port->serdes));
    EXPECT_EQ((rig.board->peek(0x1404) >> 18) & 1u, c.second_np2 ? 1u : 0u);
    // The new serializer was brought up: configuration link, GPIO enabled.
    auto hold = rig.board->hold();
    EXPECT_FALSE(second->serializer().data_link());
    EXPECT_EQ(second->serializer().peek(0x0E), c.second_np2 ? 0x7E : 0x42);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HeadstageReplug,
                         ::testing::Values(ReplugCase{"Np1ThenNp1", false, false}, ReplugCase{"Np1ThenNp2", false, true},
                                           ReplugCase{"Np2ThenNp2", true, true}, ReplugCase{"Np2ThenNp1", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A headstage plugged into a port whose detection had failed (nothing was
// plugged then): the stale link state must not hide the new serializer.
TEST(ControllerPorts, AHeadstagePluggedAfterAFailedDetectionIsFound) {
    SimRig rig;
    auto bare = std::make_shared<sim::Headstage>();
    rig.board->plug(3, bare);
    auto port = rig.port(3);
    ASSERT_EQ(rig.controller->detect_headstage(*port).error(), "No known headstage detected");
    rig.board->unplug(3);
    rig.board->plug(3, sim::make_np1_headstage("LATE"));
    auto detected = rig.controller->detect_headstage(*port);
    ASSERT_TRUE(detected.has_value()) << detected.error();
    EXPECT_EQ(std::get<0>(*detected).get().part_number, "LATE");
}

}  // namespace
