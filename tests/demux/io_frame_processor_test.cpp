#include "pelionp/demux/io_frame_processor.h"

#include <condition_variable>

#include <gtest/gtest.h>

#include "pelionp/demux/data_stream_coordinator.h"
#include "sim/stream_encoders.h"
#include "tests/demux/raw_words.h"
#include "tests/support/log_capture.h"

namespace pelionp::io {
namespace {

using spdlog::level::debug;
using spdlog::level::warn;

sim::IOFrameContent content(uint64_t n) {
    sim::IOFrameContent c;
    c.value_u64 = 0x0102030405060708ull * (n + 1);
    c.values_u32 = {static_cast<uint32_t>(0xA0B0C0D0 + n), static_cast<uint32_t>(n)};
    for (int k = 0; k < 16; ++k) c.values_u16[k] = static_cast<uint16_t>(1000 * n + 257 * k);
    return c;
}

void expect_frame(const IOFrame& f, uint64_t n) {
    const auto c = content(n);
    EXPECT_EQ(f.value_u64, c.value_u64);
    EXPECT_EQ(f.values_u32[0], c.values_u32[0]);
    EXPECT_EQ(f.values_u32[1], c.values_u32[1]);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(f.values_u16[k], c.values_u16[k]) << k;
}

struct Recorder {
    std::vector<IOFrame> frames;
    IOFrameDecoder decoder{[this](IOFrame f) { frames.push_back(f); }};
    // Word k comes with stream timestamp 10 k.
    void feed(const std::vector<uint8_t>& words) {
        for (std::size_t o = 0; o < words.size(); o += 16) decoder.decode(o / 16 * 10, words.data() + o + 2);
    }
    void feed_indices(std::initializer_list<uint8_t> indices) {
        for (uint8_t i : indices) {
            uint8_t payload[14] = {i};
            decoder.decode(0, payload);
        }
    }
};

TEST(IOFrameDecoder, SixInOrderWordsSynchroniseTheNextSixDeliver) {
    test::LogCapture log;
    Recorder r;
    sim::IOEncoder enc(content, 0xFF);  // filler in bytes 1..5 must not matter
    std::vector<uint8_t> words;
    enc.append_frames(words, 3);
    r.feed(words);
    EXPECT_EQ(log.at(debug), std::vector<std::string>{"IOFrame synchronized"});
    ASSERT_EQ(r.frames.size(), 2u);
    expect_frame(r.frames[0], 1);
    expect_frame(r.frames[1], 2);
    // Each frame keeps the timestamp of its first word (words 6 and 12).
    EXPECT_EQ(r.frames[0].timestamp, 60u);
    EXPECT_EQ(r.frames[1].timestamp, 120u);
}

TEST(IOFrameDecoder, AnOutOfOrderIndexRestartsTheCountAndIsItselfDiscarded) {
    Recorder r;
    r.feed_indices({1, 2, 1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(r.decoder.synced());  // the second 1 broke the count, so 2 broke it again
    r.feed_indices({1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(r.decoder.synced());
    EXPECT_TRUE(r.frames.empty());
}

TEST(IOFrameDecoder, SkippedIndexWarnsOnceAndNeedsAFullRunToResync) {
    test::LogCapture log;
    Recorder r;
    sim::IOEncoder enc(content);
    std::vector<uint8_t> words;
    enc.append_frames(words, 2);
    enc.append_words_until_index(words, 4);
    enc.skip_next_word();  // index 4 of frame 2 is lost
    enc.append_frames(words, 3);
    r.feed(words);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"IOFrame lost sync at index 4, expected 4, got 5"});
    // Frame 1 delivered; frame 2 broken; index 5, 6 of it start the count
    // wrongly; frame 3 resynchronises; frame 4 is delivered.
    ASSERT_EQ(r.frames.size(), 2u);
    expect_frame(r.frames[0], 1);
    expect_frame(r.frames[1], 4);
}

TEST(IOFrameProcessor, DeliversFramesFromTheCoordinator) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<IOFrame> frames;
    IOFrameProcessor processor(
        [&](IOFrame f) {
            {
                std::lock_guard l(m);
                frames.push_back(f);
            }
            cv.notify_all();
        },
        [] {});
    EXPECT_EQ(processor.sid, demux::SID::IO);
    demux::DataStreamCoordinator coordinator;
    processor.wait_for_resync();
    ASSERT_TRUE(coordinator.push_subscription({processor.sid, processor.queue()}).has_value());
    sim::IOEncoder enc(content);
    std::vector<uint8_t> words;
    enc.append_frames(words, 5);
    coordinator.push_buffer(test::device_buffer(words));
    std::unique_lock l(m);
    ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return frames.size() == 4; }));
    expect_frame(frames[3], 4);
}

TEST(IOFrameProcessor, RefusesEmptyCallbacks) {
    EXPECT_THROW(IOFrameProcessor(nullptr, [] {}), std::invalid_argument);
    EXPECT_THROW(IOFrameProcessor([](IOFrame) {}, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace pelionp::io
