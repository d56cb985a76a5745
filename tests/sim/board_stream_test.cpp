// The simulated board's data stream: what each register setting puts on
// the wire, and the stream contract (Stop last, errors, exceptions, views).
#include <array>
#include <atomic>
#include <mutex>

#include <gtest/gtest.h>

#include "sim/board.h"
#include "sim/headstages/np_headstages.h"
#include "sim/status.h"
#include "tests/support/log_capture.h"

namespace {

using namespace pelionp;
using pelio::DataStream::Events;

/// Collects what a stream delivers, per SID, checking every word's framing.
struct Collector {
    std::mutex mutex;
    std::array<uint64_t, 16> words{};
    std::array<uint8_t, 16> next_counter{};
    std::array<bool, 16> seen{};
    uint64_t buffers = 0, views = 0, errors = 0, stops = 0, events_after_stop = 0;
    std::vector<std::string> defects;

    void take(const uint8_t* data, std::size_t size) {
        if (size == 0 || size % 16 != 0) defects.push_back("buffer of " + std::to_string(size) + " bytes");
        for (std::size_t at = 0; at + 16 <= size; at += 16) {
            const uint8_t sid = data[at] & 0x0F;
            if ((data[at] >> 4) != 0xD) defects.push_back("bad preamble");
            if (seen[sid] && data[at + 1] != next_counter[sid]) defects.push_back("row counter jump");
            seen[sid] = true;
            next_counter[sid] = static_cast<uint8_t>(data[at + 1] + 1);
            ++words[sid];
        }
    }
    pelio::BasicDevice::StreamCallback callback() {
        return [this](Events&& event) {
            std::lock_guard lock(mutex);
            if (stops) ++events_after_stop;
            if (auto* owned = std::get_if<pelio::DataStream::OwnedData>(&event)) {
                take(owned->data(), owned->size());
                ++buffers;
            } else if (auto* view = std::get_if<pelio::DataStream::DataView>(&event)) {
                take(view->data, view->size);
                ++buffers;
                ++views;
            } else if (std::holds_alternative<pelio::DataStream::Error>(event)) {
                ++errors;
            } else {
                ++stops;
            }
        };
    }
    bool wait_buffers(uint64_t n) {
        for (int i = 0; i < 10000; ++i) {
            {
                std::lock_guard lock(mutex);
                if (buffers >= n) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

struct BoardStream : ::testing::Test {
    sim::Board board;
    Collector seen;

    void SetUp() override {
        board.plug(0, sim::make_np1_headstage());
        board.plug(1, sim::make_np2_headstage());
        board.set_stream_options({.paced = false});
    }
    void run(uint64_t buffers) {
        auto stream = board.start_read_stream(0, seen.callback(), 0);
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(seen.wait_buffers(buffers));
        EXPECT_TRUE(stream->stop());
        stream->join();
        EXPECT_FALSE(stream->stop());
    }
};

TEST_F(BoardStream, ProducerAndDemultiplexerBitsChooseTheStreams) {
    board.set_register(0x1404, 0x3, 0xF);  // ports 0 and 1, NP2 demultiplexer off
    run(5);
    EXPECT_GT(seen.words[4], 0u);
    EXPECT_EQ(seen.words[0], seen.words[4] * 65);  // one NP1 frame group per tick
    EXPECT_EQ(seen.words[9] + seen.words[13] + seen.words[1] + seen.words[5], 0u);
    EXPECT_TRUE(seen.defects.empty()) << seen.defects.front();
    EXPECT_EQ(seen.stops, 1u);
    EXPECT_EQ(seen.events_after_stop, 0u);
}

TEST_F(BoardStream, Np2DocksStreamOnTheirOwnSidsAndIoWhileEnabled) {
    board.set_register(0x1404, (1u << 17) | 0x2, 0xFFFFFFFF);
    board.set_register(0x2400, 1, 1);
    run(5);
    EXPECT_EQ(seen.words[9], seen.words[4] * 48);
    EXPECT_EQ(seen.words[13], seen.words[4] * 48);
    EXPECT_EQ(seen.words[0], 0u);
    EXPECT_EQ(seen.words[5] % 6, 0u);
    EXPECT_GT(seen.words[5], 0u);
    EXPECT_TRUE(seen.defects.empty()) << seen.defects.front();
}

TEST_F(BoardStream, UnpluggingStopsAPortsDataButNotTheStream) {
    // Whole-tick buffers: cut ones would still bring the words held back.
    board.set_stream_options({.paced = false, .cut_seed = 0});
    board.set_register(0x1404, 0x1, 0xF);
    auto stream = board.start_read_stream(0, seen.callback(), 0);
    ASSERT_TRUE(seen.wait_buffers(2));
    board.unplug(0);
    uint64_t np1_words;
    {
        std::lock_guard lock(seen.mutex);
        np1_words = seen.words[0];
        seen.buffers = 0;
    }
    ASSERT_TRUE(seen.wait_buffers(3));
    {
        std::lock_guard lock(seen.mutex);
        // At most the buffer under way when the headstage left.
        EXPECT_LE(seen.words[0], np1_words + 30 * 65);
    }
    stream.reset();
    EXPECT_EQ(seen.stops, 1u);
}

TEST_F(BoardStream, ViewsErrorsAndDeviceStop) {
    board.set_stream_options({.paced = false, .views = true});
    board.stream_faults().errors_to_report.store(3);
    auto stream = board.start_read_stream(0, seen.callback(), 0);
    ASSERT_TRUE(seen.wait_buffers(2));
    board.stream_faults().device_stop.store(true);
    stream->join();  // the device ended it
    EXPECT_EQ(seen.errors, 3u);
    EXPECT_EQ(seen.views, seen.buffers);
    EXPECT_EQ(seen.stops, 1u);
    EXPECT_FALSE(stream->stop());
}

TEST_F(BoardStream, ACallbackExceptionIsLoggedAndTheStreamGoesOn) {
    test::LogCapture log;
    std::atomic<int> calls{0};
    auto stream = board.start_read_stream(
        0,
        [&](Events&& event) {
            if (std::holds_alternative<pelio::DataStream::Stop>(event)) return;
            if (calls.fetch_add(1) == 0) throw std::runtime_error("decoder fell over");
        },
        0);
    ASSERT_TRUE(log.wait_for(spdlog::level::err, "Simulated stream: callback threw: decoder fell over"));
    for (int i = 0; i < 10000 && calls.load() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(calls.load(), 3);
}

TEST_F(BoardStream, AFailingStartGivesNoStreamAndJoiningFromTheStreamThreadThrows) {
    board.fail_stream_start(true);
    EXPECT_EQ(board.start_read_stream(0, seen.callback(), 0), nullptr);
    board.fail_stream_start(false);

    std::unique_ptr<pelio::BasicDevice::DataStream> stream;
    std::mutex stream_mutex;
    std::atomic<bool> threw{false}, tried{false};
    std::unique_lock hold(stream_mutex);
    stream = board.start_read_stream(
        0,
        [&](Events&&) {
            if (tried.exchange(true)) return;
            std::lock_guard lock(stream_mutex);
            try {
                stream->join();
            } catch (const std::system_error&) {
                threw = true;
            }
        },
        0);
    hold.unlock();
    for (int i = 0; i < 10000 && !tried.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard lock(stream_mutex);
    stream.reset();
    EXPECT_TRUE(threw.load());
}

TEST(BoardStatus, DocumentLayoutAndSelectableApi) {
    EXPECT_EQ(sim::status_document(),
              R"({"Version": "1.0.0","Build": "sim","Date": "2025-07-03 13:02:47","Mode": "np","API": "1","Expander": false,"Capabilities": {"Device Timestamp": ["Internal"] }})");
    sim::StatusFields fields;
    fields.api.reset();
    fields.mode = "rhd";
    fields.timestamp_sources = {"Internal", "SyncLink"};
    EXPECT_EQ(sim::status_document(fields),
              R"({"Version": "1.0.0","Build": "sim","Date": "2025-07-03 13:02:47","Mode": "rhd","Expander": false,"Capabilities": {"Device Timestamp": ["Internal", "SyncLink"] }})");
    sim::Board board;
    board.set_status(std::unexpected(std::string("Failed to read status")));
    EXPECT_EQ(board.get_status(), std::unexpected(std::string("Failed to read status")));
}

}  // namespace
