// The device over a stand-in with the driver's manners (its card-to-host
// node polls readable at once, a read waits for data, the driver's timeout
// or a signal): stop, flush, drain, reboot and destruction each end without
// waiting for the driver's timeout, and without losing bytes that arrived.
// Each test first waits until the stream's read is in flight, so the read is
// the one that must be ended. The figures are printed, not asserted; what is
// asserted is what a read left to the driver would show: an error event, a
// read of an empty channel.
//
// On Windows the stand-in driver's read is not cancelable and ends only at
// data, the board's end of packet or the ring timeout: what stop and
// destruction must bring about is the end of packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <numeric>
#include <variant>

#include "kessa_device_manager/board_control.h"
#include "tests/kessa_device_manager/fixture.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using Clock = std::chrono::steady_clock;
using pelionp::test::LogCapture;
namespace events = pelio::DataStream;

constexpr auto GENEROUS = std::chrono::seconds(10);

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void report(const char* what, double ms) {
    std::printf("[ figure ] %s: %.2f ms\n", what, ms);
    ::testing::Test::RecordProperty(what, std::to_string(ms));
}

/// Waits for `done` with a generous deadline; false if it never held.
template <class Done>
bool eventually(Done done) {
    const auto deadline = Clock::now() + GENEROUS;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

/// Collects bytes, errors and the stop of one stream.
class Sink {
public:
    BasicDevice::StreamCallback callback() {
        return [this](events::Events&& event) {
            std::scoped_lock lock(mutex_);
            if (std::holds_alternative<events::Stop>(event)) {
                stopped_ = true;
            } else if (auto* error = std::get_if<events::Error>(&event)) {
                errors_.push_back(error->message);
            } else if (auto* data = std::get_if<events::OwnedData>(&event)) {
                bytes_.insert(bytes_.end(), data->data(), data->data() + data->size());
            }
            changed_.notify_all();
        };
    }
    template <class Done>
    bool wait(Done done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done(); });
    }
    bool wait_for_bytes(std::size_t n) { return wait([&] { return bytes_.size() >= n; }); }
    bool wait_for_stop() { return wait([&] { return stopped_; }); }
    bool wait_for_errors(std::size_t n) { return wait([&] { return errors_.size() >= n; }); }
    std::vector<uint8_t> bytes() {
        std::scoped_lock lock(mutex_);
        return bytes_;
    }
    std::vector<std::string> errors() {
        std::scoped_lock lock(mutex_);
        return errors_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> bytes_;
    std::vector<std::string> errors_;
    bool stopped_ = false;
};

#ifndef _WIN32
TEST(BlockingDriver, StopEndsABlockedReadAtOnceAndKeepsTheBytesThatCameLater) {
    BlockingFixture f;
    auto device = f.open(current_status_text("np"));
    Sink sink;
    f.board.append_stream(pattern(3000, 1));
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(sink.wait_for_bytes(3000));
    ASSERT_TRUE(f.backend->wait_for_read_in_flight());  // now blocked on an empty channel

    const auto start = Clock::now();
    EXPECT_TRUE(stream->stop());
    ASSERT_TRUE(sink.wait_for_stop());
    const double stop_ms = ms_since(start);
    stream->join();
    report("stop of a blocked stream until Stop", stop_ms);
    // The driver's timeout would have ended the read with an error event.
    EXPECT_EQ(sink.errors(), std::vector<std::string>{});

    // Bytes arriving now wait in the channel for the next reader.
    f.board.append_stream(pattern(500, 9));
    ASSERT_TRUE(eventually([&] { return f.board.fed() == 3500; }));
    Sink next;
    auto again = device->start_read_stream(0, next.callback(), 0);
    ASSERT_TRUE(next.wait_for_bytes(500));
    EXPECT_EQ(next.bytes(), pattern(500, 9));
    EXPECT_EQ(sink.bytes(), pattern(3000, 1));

    ASSERT_TRUE(f.backend->wait_for_read_in_flight());
    const auto destroy_start = Clock::now();
    again.reset();
    report("destruction of a blocked stream", ms_since(destroy_start));
    EXPECT_EQ(next.errors(), std::vector<std::string>{});
    const auto device_start = Clock::now();
    device.reset();
    report("destruction of the device", ms_since(device_start));
}

TEST(BlockingDriver, TheDriverTimeoutIsOneErrorAndTheStreamGoesOn) {
    BlockingFixture f(std::chrono::milliseconds(20));
    auto device = f.open(current_status_text("np"));
    Sink sink;
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(sink.wait_for_errors(2));
    f.board.append_stream(pattern(100, 3));
    ASSERT_TRUE(sink.wait_for_bytes(100));
    stream.reset();
    EXPECT_EQ(sink.errors().front(), "Kessa datastream error: 110 (Connection timed out)\n");
    EXPECT_EQ(sink.bytes(), pattern(100, 3));
}

TEST(BlockingDriver, DrainAndFlushOfAnEmptyChannelEndInTheirQuietTime) {
    BlockingFixture f;
    auto device = f.open(current_status_text("rhd"));
    f.board.append_stream(pattern(60000, 0));
    ASSERT_TRUE(eventually([&] { return f.board.fed() == 60000; }));
    f.backend->clear();
    auto start = Clock::now();
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 60000u);
    report("drain of 60000 bytes, then an empty channel", ms_since(start));
    // Every read the drain made found the level register non-empty (its top
    // bit is not part of the level): none waited on an empty channel for the
    // driver's timeout, which alone would end such a read.
    const auto drained = f.backend->reads();
    ASSERT_FALSE(drained.empty());
    for (const auto& read : drained) {
        ASSERT_TRUE(read.level_seen.has_value()) << "a drain read without a look at the level first";
        EXPECT_NE(*read.level_seen & 0x7FFFFFFFu, 0u);
        ASSERT_TRUE(read.result.has_value()) << "a drain read failed: " << read.result.error();
        EXPECT_GT(*read.result, 0u);
    }

    xdma::Handler handler(f.backend, f.board.path(), *xdma::Connection::open(*f.backend, f.board.path()));
    LogCapture logs;
    f.backend->clear();
    start = Clock::now();
    const auto flushed = handler.with_connection([](xdma::Connection& c) { return c.flush(); });
    report("flush of an empty channel", ms_since(start));
    EXPECT_EQ(flushed.bytes, 0u);
    EXPECT_TRUE(flushed.emptied);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Flushed Total 0"));
    EXPECT_EQ(f.backend->reads().size(), 0u) << "the flush read an empty channel";
}

TEST(BlockingDriver, FlushOfAPipelineThatDidNotStopIsBounded) {
    BlockingFixture f;
    f.board.poke(0x14A0, 1);  // running, and it never stops
    f.board.stream_forever(pattern(4096, 5));
    LogCapture logs;
    auto created = std::async(std::launch::async, [&] { return f.open(current_status_text("rhd"), false); });
    const bool ended = created.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    f.board.stop_streaming();  // lets a flush that never ends reach the driver timeout
    ASSERT_TRUE(ended) << "initialisation still flushing after 5 s";
    EXPECT_TRUE(created.get());
    EXPECT_TRUE(logs.contains(spdlog::level::warn, "Pipeline did not stop"));
    EXPECT_EQ(logs.count_containing("the card is still sending"), 1u);
    EXPECT_EQ(logs.count_containing("Flushed Total "), 1u);
}

class BlockingReboot : public ::testing::Test {
protected:
    BlockingReboot() : f(std::chrono::seconds(1)) {}
    xdma::Timing timing() {
        auto t = fast_timing();
        t.close_timeout = std::chrono::milliseconds(300);
        t.open_timeout = std::chrono::seconds(10);
        return t;
    }
    BlockingFixture f;
    LogCapture logs;
};

TEST_F(BlockingReboot, WhileStreamingTheReadIsEndedTheBoardSeenLeavingAndTheStreamResumes) {
    auto device = f.open(current_status_text("np"), true, timing());
    Sink sink;
    f.board.poke(0x1404, 0x14);
    f.board.append_stream(pattern(1000, 1));
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(sink.wait_for_bytes(1000));
    ASSERT_TRUE(f.backend->wait_for_read_in_flight());  // blocked on the empty channel

    // The board comes back before the driver's 1 s timeout would end the read.
    RebootPlay play(*f.backend, f.board, std::chrono::milliseconds(150), current_status_text("np"));
    f.backend->clear();
    const auto start = Clock::now();
    auto result = std::async(std::launch::async, [&] { return device->reboot("np"); });
    ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed", GENEROUS));
    report("reboot start until the connection is released and the board seen gone", ms_since(start));
    EXPECT_EQ(result.get(), 0);
    EXPECT_FALSE(logs.contains(spdlog::level::err, "Timeout closing device"));
    // The read in flight had ended before the board was told to reconfigure.
    EXPECT_EQ(play.reads_at_command(), 0u);

    f.board.poke(0x1404, 0x15);
    f.board.append_stream(pattern(200, 7));
    ASSERT_TRUE(sink.wait_for_bytes(1200));
    stream.reset();
    auto expected = pattern(1000, 1);
    const auto after = pattern(200, 7);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(sink.bytes(), expected);
    EXPECT_EQ(sink.errors(), std::vector<std::string>{});
    // The end-of-packet pulse runs again on the new connection.
    const auto stores = f.backend->stores();
    std::vector<RegisterAccess> pulses;
    std::ranges::copy_if(stores, std::back_inserter(pulses), [](const auto& s) { return s.address == 0x1404; });
    // NB: the stream may pulse before or after the poke above lands, so the
    // pulse is checked on whatever the register held.
    ASSERT_EQ(pulses.size(), 2u);
    EXPECT_EQ(pulses[0].value & 0x80u, 0u);
    EXPECT_EQ(pulses[1], store(0x1404, pulses[0].value | 0x80u));
}

TEST_F(BlockingReboot, ABoardThatNeverLeavesIsReopenedAndStaysUsable) {
    auto device = f.open(current_status_text("rhd"), true, timing());
    f.board.poke(0x40C, 1);  // accepts the reboot, never leaves
    EXPECT_EQ(device->reboot("np"), 1);
    EXPECT_TRUE(logs.contains(spdlog::level::err, "Timeout closing device"));
    EXPECT_TRUE(logs.contains(spdlog::level::warn, "Device reopened after a failed reboot"));
    f.board.poke(0x1404, 0x42);
    EXPECT_EQ(device->get_register(0x1404), 0x42u);
    EXPECT_TRUE(device->get_status());
}

TEST_F(BlockingReboot, ABoardThatCannotBeReopenedIsReportedUnusable) {
    auto device = f.open(current_status_text("rhd"), true, timing());
    f.board.poke(0x40C, 1);
    f.backend->on_store([&](uint32_t address, uint32_t value) {
        if (address == 0x408 && value == 1 && f.board.peek(0x400) == 4) {
            std::filesystem::remove(f.board.path() + "_c2h_0");  // still listed, no longer openable
        }
    });
    EXPECT_EQ(device->reboot("np"), 1);
    const std::string why =
        "Device unusable: Timeout closing device; reopening failed: Error opening c2h device, win32 error code: 2 "
        "(No such file or directory)";
    EXPECT_EQ(device->get_status(), std::unexpected(why));
    try {
        (void)device->get_register(0x1404);
        ADD_FAILURE() << "register access on an unusable device";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), why);
    }
}

TEST_F(BlockingReboot, AStreamOfABoardLeftUnusableSaysSoOnceAndStops) {
    auto t = timing();
    t.open_timeout = std::chrono::milliseconds(20);
    auto device = f.open(current_status_text("np"), true, t);
    Sink sink;
    f.board.append_stream(pattern(100, 1));
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(sink.wait_for_bytes(100));
    ASSERT_TRUE(f.backend->wait_for_read_in_flight());
    f.board.poke(0x40C, 1);
    f.backend->on_store([&](uint32_t address, uint32_t value) {
        if (address == 0x408 && value == 1 && f.board.peek(0x400) == 4) f.board.remove();  // and never back
    });
    EXPECT_EQ(device->reboot("np"), 1);
    // Without a stop: the stream ends by itself, with one error that says why.
    ASSERT_TRUE(sink.wait_for_stop());
    EXPECT_EQ(sink.errors(), std::vector<std::string>{"Device unusable: Timeout open device"});
    stream.reset();
}

TEST_F(BlockingReboot, ABoardThatLeavesTheBusEndsTheStreamWithOneError) {
    auto device = f.open(current_status_text("np"), true, timing());
    Sink sink;
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(f.backend->wait_for_read_in_flight());
    // The cable is pulled: the board is gone from the listing, the read in
    // flight fails (here at the driver's timeout) and so would every next one.
    f.board.remove();
    f.backend->fail_reads(1000, 19);  // ENODEV
    ASSERT_TRUE(sink.wait_for_stop());
    EXPECT_EQ(sink.errors(), std::vector<std::string>{"Kessa datastream error: 110 (Connection timed out)\n"});
    stream.reset();
}

TEST_F(BlockingReboot, AnOverflowRebootThatLeavesTheBoardUnusableFailsTheCreation) {
    f.board.poke(0x1410, 1);  // an overflow that never clears
    f.board.poke(0x40C, 1);
    f.backend->on_store([&](uint32_t address, uint32_t value) {
        if (address == 0x408 && value == 1 && f.board.peek(0x400) == 4) f.board.remove();  // and never back
    });
    auto t = timing();
    t.open_timeout = std::chrono::milliseconds(20);
    try {
        (void)f.open(current_status_text("rhd"), false, t);
        ADD_FAILURE() << "an unusable board was handed out";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Device unusable: Timeout open device");
    }
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Reboot result: Failure"));
}

#endif  // _WIN32

#ifdef _WIN32
/// Waits until a read of the board's channel waits in the stand-in driver.
bool read_waits_in_driver(const StandInBoard& board) {
    return eventually([&] { return reads_waiting(board.path()) > 0; });
}

/// The stores that end the read in flight of an NP board whose 0x1404 holds
/// `control` and 0x2400 `io`: the producers off, then the end-of-packet pulse.
std::vector<RegisterAccess> board_ends_the_read(uint32_t control, uint32_t io) {
    const uint32_t off = control & ~0x0Fu;
    return {store(0x1404, off), store(0x2400, io & ~1u), store(0x1404, off & ~0x80u), store(0x1404, off | 0x80u)};
}

class WindowsStop : public ::testing::Test {
protected:
    // A public build's shorter ring timeout: long enough to tell a read the
    // board ended from one the driver gave up on.
    WindowsStop() : f(std::chrono::seconds(3)) {}
    std::unique_ptr<KessaDevice> streaming_device() {
        auto device = f.open(current_status_text("np"));
        f.board.poke(0x1404, 0x83);  // producers of ports 0 and 1, end of packet enabled
        f.board.poke(0x2400, 1);     // the IO producer
        return device;
    }
    BlockingFixture f;
    Sink sink;
};

TEST_F(WindowsStop, StopHasTheBoardEndTheReadInFlightAndKeepsTheBytesThatCameLater) {
    auto device = streaming_device();
    f.board.append_stream(pattern(3000, 1));
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(sink.wait_for_bytes(3000));
    ASSERT_TRUE(read_waits_in_driver(f.board));
    f.backend->clear();

    const auto start = Clock::now();
    EXPECT_TRUE(stream->stop());
    stream->join();
    report("stop of a blocked stream until joined", ms_since(start));
    ASSERT_TRUE(sink.wait_for_stop());
    // The read ended at the board's end of packet, not the ring timeout.
    const auto ends = read_ends(f.board.path());
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends.back(), ReadEnd::EndOfPacket);
    EXPECT_EQ(std::ranges::count(ends, ReadEnd::RingTimeout), 0);
    const auto stores = f.backend->stores();
    ASSERT_GE(stores.size(), 4u);
    EXPECT_EQ(std::vector(stores.begin(), stores.begin() + 4), board_ends_the_read(0x83, 1));
    EXPECT_EQ(sink.errors(), std::vector<std::string>{});

    // Bytes arriving now wait in the channel for the next reader.
    f.board.append_stream(pattern(500, 9));
    Sink next;
    auto again = device->start_read_stream(0, next.callback(), 0);
    ASSERT_TRUE(next.wait_for_bytes(500));
    EXPECT_EQ(next.bytes(), pattern(500, 9));
    EXPECT_EQ(sink.bytes(), pattern(3000, 1));
    again.reset();
}

TEST_F(WindowsStop, DestructionOfTheStreamAndTheDeviceHasTheBoardEndTheRead) {
    auto device = streaming_device();
    auto stream = device->start_read_stream(0, sink.callback(), 0);
    ASSERT_TRUE(read_waits_in_driver(f.board));
    f.backend->clear();
    const auto start = Clock::now();
    stream.reset();
    report("destruction of a blocked stream", ms_since(start));
    EXPECT_TRUE(sink.wait_for_stop());
    const auto ends = read_ends(f.board.path());
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends.back(), ReadEnd::EndOfPacket);
    EXPECT_EQ(std::ranges::count(ends, ReadEnd::RingTimeout), 0);
    const auto device_start = Clock::now();
    device.reset();
    report("destruction of the device", ms_since(device_start));
}

TEST_F(WindowsStop, FlushOfAnEmptyChannelAndDrainReadNoEmptyChannel) {
    auto device = f.open(current_status_text("rhd"));
    xdma::Handler handler(f.backend, f.board.path(), *xdma::Connection::open(*f.backend, f.board.path()));
    auto start = Clock::now();
    const auto flushed = handler.with_connection([](xdma::Connection& c) { return c.flush(); });
    report("flush of an empty channel", ms_since(start));
    EXPECT_EQ(flushed.bytes, 0u);
    EXPECT_TRUE(flushed.emptied);
    EXPECT_EQ(read_ends(f.board.path()).size(), 0u) << "the flush read an empty channel";

    f.board.append_stream(pattern(60000, 0));
    start = Clock::now();
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 60000u);
    report("drain of 60000 bytes, then an empty channel", ms_since(start));
    // Each read found data waiting: none was left to the ring timeout.
    const auto ends = read_ends(f.board.path());
    ASSERT_FALSE(ends.empty());
    for (const auto end : ends) EXPECT_EQ(end, ReadEnd::Data);
}
#endif  // _WIN32

}  // namespace
}  // namespace pelio::test
