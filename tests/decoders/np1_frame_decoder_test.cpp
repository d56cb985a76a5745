#include "pelionp/decoders/np1_frame_decoder.h"

#include <gtest/gtest.h>

#include "sim/stream_encoders.h"
#include "tests/decoders/feed.h"
#include "tests/support/log_capture.h"

namespace pelionp::NP1 {
namespace {

using spdlog::level::info;
using spdlog::level::trace;
using spdlog::level::warn;
using test::feed;

struct Recorder {
    std::vector<APData> ap;
    std::vector<LPData> lfp;
    std::vector<char> order;  // 'L' or 'A' in callback order
    FrameDecoder decoder{[this](APData d) { ap.push_back(d), order.push_back('A'); },
                         [this](LPData d) { lfp.push_back(d), order.push_back('L'); }};
    Recorder() { decoder.reset(); }
};

sim::NP1Encoder encoder(uint64_t first_frame = 0) {
    return sim::NP1Encoder(0, {test::np1_ap_code, test::np1_lfp_code}, first_frame);
}

void expect_ap(const APData& d, uint64_t group) {
    for (int c = 0; c < CHANNEL_COUNT; ++c) {
        ASSERT_EQ(d.samples[c], test::np1_ap_code(group, c)) << "group " << group << " channel " << c;
    }
}

void expect_lfp(const LPData& d, uint64_t superframe) {
    for (int c = 0; c < CHANNEL_COUNT; ++c) {
        ASSERT_EQ(d.samples[c], test::np1_lfp_code(superframe, c)) << "superframe " << superframe << " channel " << c;
    }
}

TEST(NP1FrameDecoder, RefusesEmptyCallbacks) {
    EXPECT_THROW(FrameDecoder(nullptr, [](LPData) {}), std::invalid_argument);
    EXPECT_THROW(FrameDecoder([](APData) {}, nullptr), std::invalid_argument);
}

TEST(NP1FrameDecoder, DecodesEveryChannelOfEveryGroupAndSuperframe) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_superframes(words, 3);
    feed(r.decoder, words, 77);

    ASSERT_EQ(r.ap.size(), 36u);
    ASSERT_EQ(r.lfp.size(), 3u);
    for (std::size_t g = 0; g < r.ap.size(); ++g) {
        EXPECT_EQ(r.ap[g].index, g % 12);
        EXPECT_TRUE(r.ap[g].complete);
        EXPECT_EQ(r.ap[g].timestamp, 77u);
        expect_ap(r.ap[g], g);
    }
    for (std::size_t s = 0; s < r.lfp.size(); ++s) expect_lfp(r.lfp[s], s);
    // The LFP set of a superframe arrives before its twelfth AP set.
    EXPECT_EQ(std::string(r.order.begin(), r.order.begin() + 13), "AAAAAAAAAAALA");
    EXPECT_EQ(log.at(info), std::vector<std::string>{"NP1 decoder synced, 0 drops"});
    EXPECT_TRUE(log.at(warn).empty());
}

TEST(NP1FrameDecoder, StartInsideAGroupDropsBeatsUntilTheMarker) {
    test::LogCapture log;
    Recorder r;
    sim::NP1Encoder enc(0, {[](uint64_t, int) -> uint16_t { return 0x2A; }, test::np1_lfp_code}, 3);
    std::vector<uint8_t> words;
    enc.append_groups(words, 3);
    feed(r.decoder, words);
    const auto traces = log.at(trace);
    ASSERT_EQ(traces.size(), 50u);  // frames 3..12 of the first group
    EXPECT_EQ(traces.front(), "Sync failed at frame 0, beat 0, row:2A,2A,2A,2A,2A,2A,2A");
    EXPECT_EQ(log.at(info), std::vector<std::string>{"NP1 decoder synced, 50 drops"});
    // The first frame adopts the device's number (13) silently.
    EXPECT_TRUE(log.at(warn).empty());
    ASSERT_EQ(r.ap.size(), 2u);
    EXPECT_EQ(r.ap[0].index, 1);
    EXPECT_FALSE(r.ap[0].complete);  // the superframe did not start at group 0
}

TEST(NP1FrameDecoder, MissingMarkerAtAGroupStartLosesSyncUntilTheNextMarker) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_groups(words, 1);
    enc.omit_next_sync_marker();
    enc.append_groups(words, 3);
    feed(r.decoder, words);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Lost sync at frame 13, beat 0"});
    EXPECT_EQ(log.at(info), (std::vector<std::string>{"NP1 decoder synced, 0 drops", "NP1 decoder synced, 64 drops"}));
    EXPECT_EQ(r.ap.size(), 3u);  // groups 0, 2, 3
    expect_ap(r.ap[2], 3);
    // After the new sync the superframe is incomplete until its next group 0.
    EXPECT_FALSE(r.ap[1].complete);
    EXPECT_FALSE(r.ap[2].complete);
}

TEST(NP1FrameDecoder, WordsLostOnTheLineCostOneSyncAndDecodingResumesAtTheNextMarker) {
    auto enc = encoder();
    std::vector<uint8_t> intact;
    enc.append_groups(intact, 2);
    const std::size_t cut = intact.size();
    enc.append_superframes(intact, 2);
    Recorder reference;
    feed(reference.decoder, intact);
    for (const int lost : {1, 2, 5, 7, 12}) {
        SCOPED_TRACE(lost);
        test::LogCapture log;
        Recorder r;
        auto words = intact;
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(cut),
                    words.begin() + static_cast<std::ptrdiff_t>(cut + lost * sim::STREAM_WORD_BYTES));
        feed(r.decoder, words);
        EXPECT_EQ(log.at(warn).size(), 1u);
        // Every set after the next marker is the one the intact stream gave.
        ASSERT_EQ(r.ap.size(), reference.ap.size() - 1);
        for (std::size_t g = 2; g < r.ap.size(); ++g) {
            EXPECT_TRUE(std::ranges::equal(r.ap[g].samples, reference.ap[g + 1].samples)) << g;
        }
        ASSERT_EQ(r.lfp.size(), reference.lfp.size());
        EXPECT_TRUE(std::ranges::equal(r.lfp.back().samples, reference.lfp.back().samples));
        EXPECT_TRUE(r.ap.back().complete);
    }
}

TEST(NP1FrameDecoder, SkippedFrameBreaksCompletenessUntilTheNextSuperframe) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_frames(words, 13 * 3 + 5);
    enc.skip_frames(1);  // frame 44 never arrives
    enc.append_superframes(words, 2);
    feed(r.decoder, words);

    EXPECT_EQ(log.at(warn), std::vector<std::string>{
                                "publish_adc_data : Frame_number continuity failed, current counter : 45, previous counter : 44"});
    EXPECT_EQ(log.at(info).back(), "publish_adc_data : Frame_number continuity recovered after 1 consecutive mismatches");
    ASSERT_EQ(r.ap.size(), 24u);
    for (std::size_t g = 0; g < 24; ++g) EXPECT_EQ(r.ap[g].complete, g < 3 || g >= 12) << g;
    expect_ap(r.ap[12], 12);
    expect_lfp(r.lfp[1], 1);
}

TEST(NP1FrameDecoder, ForcedResyncAtExactlyTenThousandMismatches) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_frames(words, 1);
    for (int i = 0; i < 9999; ++i) {
        enc.override_next_frame_number(5);  // the decoder expects 6 after adopting 5
        enc.append_frames(words, 1);
    }
    feed(r.decoder, words);
    EXPECT_TRUE(r.decoder.synced());
    EXPECT_EQ(r.decoder.mismatch_count(), 9999);
    EXPECT_EQ(log.count_containing("continuity failed"), 1u);

    words.clear();
    enc.override_next_frame_number(5);
    enc.append_frames(words, 1);
    feed(r.decoder, words);
    EXPECT_FALSE(r.decoder.synced());
    EXPECT_EQ(r.decoder.mismatch_count(), 0);
    EXPECT_TRUE(log.contains(warn, "publish_adc_data : 10000 consecutive frame continuity failures, forcing resync"));
}

TEST(NP1FrameDecoder, FrameNumberWrapsAtTwentyBitsWithoutAMismatch) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder(156 * 6721);  // two superframes before 2^20
    std::vector<uint8_t> words;
    enc.append_superframes(words, 2);
    ASSERT_GT(enc.frame_index(), 1u << 20);
    feed(r.decoder, words);
    EXPECT_TRUE(log.at(warn).empty());
    ASSERT_EQ(r.ap.size(), 24u);
    for (auto& d : r.ap) EXPECT_TRUE(d.complete);
    expect_ap(r.ap[23], 12 * 6721 + 23);
}

// The device numbers frames in 20 bits, and 2^20 is no multiple of a
// group's 13 frames: once the number has wrapped, a frame's place in its
// group follows from the sync marker, not from the number alone.
TEST(NP1FrameDecoder, ASyncAfterTheNumberWrappedKeepsTheMarkersGroupPlace) {
    {
        SCOPED_TRACE("a stream that starts after the wrap");
        test::LogCapture log;
        Recorder r;
        auto enc = encoder(13 * 80660);  // a group start whose 20-bit number is 4
        std::vector<uint8_t> words;
        enc.append_groups(words, 36);
        feed(r.decoder, words);
        EXPECT_TRUE(log.at(warn).empty()) << log.at(warn).front();
        EXPECT_EQ(r.ap.size(), 36u);
        EXPECT_EQ(r.decoder.frame_counter() % 13, 0);
    }
    {
        SCOPED_TRACE("a sync lost after the wrap");
        auto enc = encoder(156 * 6721);
        std::vector<uint8_t> intact;
        enc.append_superframes(intact, 4);
        ASSERT_GT(enc.frame_index(), 1u << 20);
        Recorder reference;
        feed(reference.decoder, intact);
        ASSERT_EQ(reference.ap.size(), 48u);

        test::LogCapture log;
        Recorder r;
        auto words = intact;
        const std::size_t cut = 26 * 13 * 5 * sim::STREAM_WORD_BYTES;  // group 26, past the wrap
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(cut),
                    words.begin() + static_cast<std::ptrdiff_t>(cut + 7 * sim::STREAM_WORD_BYTES));
        feed(r.decoder, words);
        EXPECT_EQ(log.count_containing("Lost sync"), 1u);
        ASSERT_EQ(r.ap.size(), 47u);
        for (std::size_t g = 26; g < r.ap.size(); ++g) {
            EXPECT_TRUE(std::ranges::equal(r.ap[g].samples, reference.ap[g + 1].samples)) << g;
            EXPECT_EQ(r.ap[g].index, reference.ap[g + 1].index) << g;
        }
        // The superframe after the one that lost words is whole again.
        ASSERT_EQ(r.lfp.size(), 4u);
        EXPECT_TRUE(std::ranges::equal(r.lfp.back().samples, reference.lfp.back().samples));
        EXPECT_TRUE(r.ap.back().complete);
    }
}

TEST(NP1FrameDecoder, ResetReturnsToTheInitialState) {
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_groups(words, 2);
    enc.append_beats(words, 2);
    feed(r.decoder, words);
    ASSERT_TRUE(r.decoder.synced());
    r.decoder.reset();
    EXPECT_FALSE(r.decoder.synced());
    EXPECT_EQ(r.decoder.frame_counter(), 0);
    EXPECT_EQ(r.decoder.drops(), 0u);
}

}  // namespace
}  // namespace pelionp::NP1
