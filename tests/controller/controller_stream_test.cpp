// Stream control end to end: controller, simulated board stream,
// coordinator and workers, with every thread meeting for real.
#include <algorithm>
#include <future>

#include <gtest/gtest.h>

#include "tests/controller/sim_rig.h"
#include "tests/support/log_capture.h"

namespace {

using namespace pelionp;
using demux::SID;
using test::CountingWorker;
using test::eventually;
using test::LogCapture;
using test::SimRig;

struct Streaming : ::testing::Test {
    // NB: first member: the capture must outlive every thread that logs (a
    // logger's sink list cannot change while other threads log through it).
    LogCapture log;
    SimRig rig;
    std::shared_ptr<NPPort> np1_port;
    std::shared_ptr<NPPort> np2_port;

    void SetUp() override {
        rig.board->plug(0, sim::make_np1_headstage());
        rig.board->plug(1, sim::make_np2_headstage());
        np1_port = rig.port(0);
        np2_port = rig.port(1);
        ASSERT_TRUE(rig.controller->detect_headstage(*np1_port).has_value());
        ASSERT_TRUE(rig.controller->detect_headstage(*np2_port).has_value());
        log.force_level(spdlog::level::debug);
    }
};

TEST_F(Streaming, WorkersOnTwoPortsReceiveData) {
    CountingWorker np1(SID::NP1_PORT0), np2_dock1(SID::NP2_PORT1_DOCK1);
    ASSERT_TRUE(rig.controller->start_stream(np1).has_value());
    ASSERT_TRUE(rig.controller->start_stream(np2_dock1).has_value());
    EXPECT_TRUE(np1.receives(1000));
    EXPECT_TRUE(np2_dock1.receives(1000));
    EXPECT_EQ(rig.board->streams_started(), 1u);
    EXPECT_EQ(rig.stream_control() & 0xF, 0x3u);
    EXPECT_GT(np1.last_timestamp.load(), 0u);
}

TEST_F(Streaming, OnlyTheFirstStartResetsTheCoordinator) {
    // Every device stream numbers its timestamp words from 0. A coordinator
    // reset expects 0 again; without one it expects where the last stream
    // stopped and adopts the new counter with a debug message. So a reset on
    // a second start, or none on a first start after a stop, shows as an
    // adoption of channel 4.
    CountingWorker first(SID::NP1_PORT0), second(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(first).has_value());
    ASSERT_TRUE(first.receives(1000));
    ASSERT_TRUE(rig.controller->start_stream(second).has_value());
    ASSERT_TRUE(second.receives(1000));
    EXPECT_EQ(log.count_containing("Demux channel 4,"), 0u);

    ASSERT_TRUE(rig.controller->stop_stream(first).has_value());
    ASSERT_TRUE(rig.controller->stop_stream(second).has_value());
    ASSERT_TRUE(rig.controller->start_stream(first).has_value());
    ASSERT_TRUE(first.receives(1000));
    EXPECT_EQ(rig.board->streams_started(), 2u);
    EXPECT_EQ(log.count_containing("Demux channel 4,"), 0u);
}

TEST_F(Streaming, TheSameWorkerTwiceIsANoOp) {
    CountingWorker worker(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    const auto trigger_writes = rig.board->peek(0x1404);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_EQ(worker.resets.load(), 1u);
    EXPECT_EQ(rig.board->peek(0x1404), trigger_writes);
}

TEST_F(Streaming, AnotherWorkerOnAHeldSidIsRefused) {
    CountingWorker first(SID::NP1_PORT0), intruder(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(first).has_value());
    auto refused = rig.controller->start_stream(intruder);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "SID already subscribed to another worker");
    EXPECT_EQ(intruder.resets.load(), 0u);
    EXPECT_TRUE(first.receives());
}

TEST_F(Streaming, StoppingTheLastStreamClosesTheDeviceStream) {
    CountingWorker worker(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    ASSERT_TRUE(worker.receives());
    ASSERT_TRUE(rig.controller->stop_stream(worker).has_value());
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Disabling streaming"));
    EXPECT_EQ(rig.stream_control() & 0x2, 0u);
    EXPECT_EQ(worker.resets.load(), 2u);
    // The keeper was joined inside stop_stream, so the device stream is gone.
    const auto received = worker.words.load();
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_EQ(rig.board->streams_started(), 2u);
    EXPECT_TRUE(worker.receives());
    EXPECT_GT(worker.words.load(), received);
}

TEST_F(Streaming, StoppingOneStreamOfAPortRestoresTheSharedProducerBit) {
    CountingWorker dock0(SID::NP2_PORT1_DOCK0), dock1(SID::NP2_PORT1_DOCK1);
    ASSERT_TRUE(rig.controller->start_stream(dock0).has_value());
    ASSERT_TRUE(rig.controller->start_stream(dock1).has_value());
    ASSERT_TRUE(rig.controller->stop_stream(dock0).has_value());
    EXPECT_EQ(rig.stream_control() & 0x2, 0x2u);
    EXPECT_TRUE(dock1.receives());
}

TEST_F(Streaming, StoppingAWorkerThatIsNotSubscribedOnlyResyncsIt) {
    CountingWorker running(SID::NP1_PORT0), idle(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(running).has_value());
    ASSERT_TRUE(rig.controller->stop_stream(idle).has_value());
    EXPECT_EQ(idle.resets.load(), 1u);
    EXPECT_EQ(rig.stream_control() & 0x1, 0x1u);
}

TEST_F(Streaming, ADeviceStopIsFollowedByANewStreamAtTheNextStart) {
    CountingWorker first(SID::NP1_PORT0), second(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(first).has_value());
    rig.board->stream_faults().device_stop.store(true);
    ASSERT_TRUE(log.wait_for(spdlog::level::debug, "Stop event received from device"));
    ASSERT_TRUE(rig.controller->start_stream(second).has_value());
    EXPECT_EQ(rig.board->streams_started(), 2u);
    EXPECT_TRUE(first.receives());
    EXPECT_TRUE(second.receives());
}

TEST_F(Streaming, DeviceErrorsAreLoggedAndTheStreamGoesOn) {
    CountingWorker worker(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    rig.board->stream_faults().errors_to_report.store(2);
    ASSERT_TRUE(log.wait_for(spdlog::level::debug, "Error event Simulated transfer error"));
    EXPECT_TRUE(worker.receives());
}

TEST_F(Streaming, AFailedOpenLeavesTheProducersOffAndRetries) {
    rig.board->fail_stream_start(true);
    CountingWorker worker(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to start read stream; leaving board producers disabled"));
    EXPECT_EQ(rig.stream_control() & 0x1, 0u);

    rig.board->fail_stream_start(false);
    CountingWorker other(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(other).has_value());
    EXPECT_TRUE(worker.receives());
    EXPECT_TRUE(other.receives());
}

TEST_F(Streaming, AThrowingOpenLeavesTheProducersOffAndRetries) {
    rig.board->set_device_faults({.fail_fetch = false, .fail_send = false, .stream_start_throws = 1});
    CountingWorker worker(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_TRUE(log.contains(spdlog::level::err,
                             "Failed to start read stream: simulated board: the stream could not be opened"));
    EXPECT_EQ(rig.stream_control() & 0x1, 0u);
    EXPECT_EQ(rig.board->streams_started(), 0u);

    // The next reconciliation opens the stream the first one could not.
    CountingWorker other(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(other).has_value());
    EXPECT_EQ(rig.board->streams_started(), 1u);
    EXPECT_TRUE(worker.receives());
    EXPECT_TRUE(other.receives());
}

// A worker's callback that starts or stops its own stream: the resync would
// wait for the calling thread itself. The call is refused, and the
// controller stays usable.
TEST_F(Streaming, AWorkersOwnCallbackCannotStartOrStopItsStream) {
    struct SelfStopping final : demux::NeuropixelsWorker {
        struct Decoder {
            SelfStopping* self;
            void reset() {}
            void decode(uint64_t, const uint8_t*) { self->on_word(); }
        };
        SelfStopping(NPController& c) : NeuropixelsWorker(SID::NP1_PORT0, [] {}), controller(c) {
            start(Decoder{this});
        }
        ~SelfStopping() override { stop_and_join(); }
        void on_word() {
            if (called) return;
            called = true;
            stop_result.set_value(controller.stop_stream(*this));
            start_result.set_value(controller.start_stream(*this));
        }
        NPController& controller;
        bool called = false;
        std::promise<std::expected<void, std::string>> stop_result, start_result;
    };

    SelfStopping worker(*rig.controller);
    auto stopped = worker.stop_result.get_future();
    auto started = worker.start_result.get_future();
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(started.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get().error(),
              "stop_stream called from the worker's own decoding thread; its callbacks must not start or stop streams");
    EXPECT_EQ(started.get().error(),
              "start_stream called from the worker's own decoding thread; its callbacks must not start or stop "
              "streams");
    // Still subscribed, and the controller still answers.
    EXPECT_EQ(rig.stream_control() & 0x1, 0x1u);
    EXPECT_TRUE(rig.controller->stop_stream(worker).has_value());
}

// The soft trigger (0x1404 bit 9 pulsed) follows the producer's enable, is
// never sent for the IO stream, and not again when a started worker is
// started once more.
TEST_F(Streaming, TheSoftTriggerFollowsTheProducerEnableOnlyForProbeStreams) {
    const auto trigger_pulses = [&] {
        std::size_t pulses = 0;
        for (const auto& w : rig.board->register_writes())
            if (w.address == 0x1404 && w.mask == 0x200 && w.value == 0x200) ++pulses;
        return pulses;
    };
    rig.board->record_register_writes(true);
    CountingWorker worker(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    const auto writes = rig.board->register_writes();
    const auto enable = std::find_if(writes.begin(), writes.end(), [](const auto& w) {
        return w.address == 0x1404 && (w.mask & 0x1) && (w.value & 0x1);
    });
    const auto pulse = std::find_if(writes.begin(), writes.end(), [](const auto& w) {
        return w.address == 0x1404 && w.mask == 0x200 && w.value == 0x200;
    });
    ASSERT_NE(enable, writes.end());
    ASSERT_NE(pulse, writes.end());
    EXPECT_LT(enable - writes.begin(), pulse - writes.begin());
    ASSERT_NE(pulse + 1, writes.end());
    EXPECT_EQ(*(pulse + 1), (sim::RegisterWrite{0x1404, 0, 0x200, std::this_thread::get_id()}));
    EXPECT_EQ(trigger_pulses(), 1u);

    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());  // already started
    EXPECT_EQ(trigger_pulses(), 1u);

    auto io = rig.controller->create_io_stream([](io::IOFrame) {}, [] {});
    ASSERT_TRUE(io.has_value());
    ASSERT_TRUE(rig.controller->start_stream(**io).has_value());
    EXPECT_EQ(trigger_pulses(), 1u);
    EXPECT_TRUE(rig.controller->stop_stream(**io).has_value());
}

// A worker destroyed without stop_stream leaves a stale subscription; the
// next reconciliation switches its producer off.
TEST_F(Streaming, AStaleSubscriptionIsSwitchedOffAtTheNextReconciliation) {
    auto abandoned = std::make_unique<CountingWorker>(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(*abandoned).has_value());
    ASSERT_EQ(rig.stream_control() & 0x1, 0x1u);
    abandoned.reset();
    EXPECT_EQ(rig.stream_control() & 0x1, 0x1u);  // nothing reconciled yet

    CountingWorker other(SID::NP2_PORT1_DOCK0);
    ASSERT_TRUE(rig.controller->start_stream(other).has_value());
    EXPECT_EQ(rig.stream_control() & 0x1, 0u);
    EXPECT_EQ(rig.stream_control() & 0x2, 0x2u);
    // The SID is free again for a new worker.
    CountingWorker again(SID::NP1_PORT0);
    EXPECT_TRUE(rig.controller->start_stream(again).has_value());
    EXPECT_TRUE(again.receives());
}

TEST_F(Streaming, DataViewsAreCopiedIntoTheCoordinator) {
    rig.board->set_stream_options({.paced = true, .views = true});
    CountingWorker worker(SID::NP1_PORT0);
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_TRUE(worker.receives(1000));
}

TEST_F(Streaming, SidsWithoutAProducerAreRefused) {
    for (uint32_t sid : {6u, 7u}) {
        CountingWorker worker{SID{sid}};
        auto refused = rig.controller->start_stream(worker);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error(), fmt::format("SID {} has no board producer and cannot be subscribed", sid));
    }
    CountingWorker timestamps(SID::TIMESTAMP);
    EXPECT_FALSE(rig.controller->start_stream(timestamps).has_value());
}

TEST_F(Streaming, TheIoStreamNeedsNoTriggerAndDeliversFrames) {
    std::atomic<uint64_t> frames{0}, last_value{0};
    auto io = rig.controller->create_io_stream(
        [&](io::IOFrame frame) {
            last_value.store(frame.value_u64);
            frames.fetch_add(1);
        },
        [] {});
    ASSERT_TRUE(io.has_value());
    auto second = rig.controller->create_io_stream([](io::IOFrame) {}, [] {});
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error(), "An IO stream already exists; destroy it before creating a new one");

    ASSERT_TRUE(rig.controller->start_stream(**io).has_value());
    EXPECT_EQ(rig.board->peek(0x2400) & 1, 1u);
    ASSERT_TRUE(eventually([&] { return frames.load() >= 3; }));
    EXPECT_GT(last_value.load(), 0u);  // frame n carries n; the first one only synchronises

    ASSERT_TRUE(rig.controller->stop_stream(**io).has_value());
    EXPECT_EQ(rig.board->peek(0x2400) & 1, 0u);
    io->reset();
    EXPECT_TRUE(rig.controller->create_io_stream([](io::IOFrame) {}, [] {}).has_value());
}

TEST_F(Streaming, TeardownWithLiveSubscriptionsSwitchesTheProducersOff) {
    auto worker0 = std::make_unique<CountingWorker>(SID::NP1_PORT0);
    auto worker1 = std::make_unique<CountingWorker>(SID::NP2_PORT1_DOCK1);
    ASSERT_TRUE(rig.controller->start_stream(*worker0).has_value());
    ASSERT_TRUE(rig.controller->start_stream(*worker1).has_value());
    ASSERT_TRUE(worker1->receives());
    auto board = rig.board;
    np1_port.reset();  // releases SID 0 under the controller's mutex
    np2_port.reset();
    rig.controller.reset();  // the last reference: Impl teardown
    EXPECT_EQ(board->peek(0x1404) & 0xF, 0u);
    EXPECT_TRUE(log.at(spdlog::level::warn).empty());
}

TEST_F(Streaming, TeardownUnsubscribesWhatThePortsDidNotRelease) {
    CountingWorker worker(SID::NP1_PORT2);  // no port object holds SID 2
    ASSERT_TRUE(rig.controller->start_stream(worker).has_value());
    EXPECT_EQ(rig.stream_control() & 0x4, 0x4u);
    auto board = rig.board;
    np1_port.reset();
    np2_port.reset();
    rig.controller.reset();
    EXPECT_EQ(board->peek(0x1404) & 0x4, 0u);
    EXPECT_TRUE(log.at(spdlog::level::warn).empty());
}

}  // namespace
