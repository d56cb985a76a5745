#include "pelionp/decoders/np2_row_decoder.h"

#include <gtest/gtest.h>

#include "sim/stream_encoders.h"
#include "tests/decoders/feed.h"
#include "tests/support/log_capture.h"

namespace pelionp::NP2 {
namespace {

using spdlog::level::info;
using spdlog::level::warn;
constexpr auto error = spdlog::level::err;
using test::feed;

struct Recorder {
    std::vector<RawAPData> sets;
    RowDecoder decoder{[this](RawAPData d) { sets.push_back(d); }};
    Recorder() { decoder.reset(); }
};

sim::NP2Encoder encoder(uint8_t first_row_group = 0) {
    return sim::NP2Encoder(8, {test::np2_code}, 0, first_row_group);
}

void expect_set(const RawAPData& d, uint64_t superframe) {
    for (int c = 0; c < CHANNEL_COUNT; ++c) {
        ASSERT_EQ(d.samples[c], test::np2_code(superframe, c)) << "superframe " << superframe << " channel " << c;
    }
}

TEST(NP2RowDecoder, DecodesEveryChannelOfEverySuperframe) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder(0x37);
    std::vector<uint8_t> words;
    enc.append_superframes(words, 3);
    ASSERT_EQ(words.size(), 3u * 48 * 16);
    feed(r.decoder, words, 99);
    ASSERT_EQ(r.sets.size(), 3u);
    for (std::size_t s = 0; s < 3; ++s) {
        expect_set(r.sets[s], s);
        EXPECT_EQ(r.sets[s].timestamp, 99u);
    }
    EXPECT_EQ(log.at(info), std::vector<std::string>{"NP2 decoder synced, adopting row counter 0x37"});
    EXPECT_TRUE(log.at(warn).empty());
    EXPECT_TRUE(log.at(error).empty());
}

TEST(NP2RowDecoder, SuperframeStartRealignsTheRow) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 5);
    enc.force_next_superframe_flag();  // row 5's header claims a superframe start
    enc.append_subrows(words, 1);
    feed(r.decoder, words);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Resyncing super frame counter"});
    EXPECT_EQ(r.decoder.row(), 0);
    words.clear();
    enc.append_subrows(words, 2);  // subrow 3 of encoder row 5 lands in row 0
    feed(r.decoder, words);
    EXPECT_EQ(r.decoder.row(), 1);
}

TEST(NP2RowDecoder, StartInsideASuperframeAlignsSilentlyAtTheFirstFlag) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> skipped, words;
    enc.append_rows(skipped, 5);
    enc.append_superframes(words, 2);
    feed(r.decoder, words);
    EXPECT_TRUE(log.at(warn).empty());
    EXPECT_EQ(log.at(info), std::vector<std::string>{"NP2 decoder synced, adopting row counter 0x10"});
    ASSERT_EQ(r.sets.size(), 1u);
    expect_set(r.sets[0], 1);
}

TEST(NP2RowDecoder, RowGroupJumpWarnsOnceAndRecovers) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 3);
    enc.jump_row_group_counter(5);
    enc.append_superframes(words, 2);
    feed(r.decoder, words);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Got counter 0x8, expected 0x3"});
    EXPECT_TRUE(log.contains(info, "Row group counter recovered after 1 consecutive mismatches"));
    EXPECT_TRUE(r.decoder.synced());
    expect_set(r.sets.back(), 1);
}

TEST(NP2RowDecoder, RowGroupMismatchesForceResyncAtTenThousand) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 1);
    for (int i = 0; i < 9999; ++i) {
        enc.jump_row_group_counter(1);
        enc.append_rows(words, 1);
    }
    feed(r.decoder, words);
    EXPECT_TRUE(r.decoder.synced());
    EXPECT_EQ(r.decoder.row_group_mismatches(), 9999);
    EXPECT_EQ(log.count_containing("Got counter"), 1u);
    words.clear();
    enc.jump_row_group_counter(1);
    enc.append_rows(words, 1);
    feed(r.decoder, words);
    EXPECT_FALSE(r.decoder.synced());
    EXPECT_EQ(r.decoder.row_group_mismatches(), 0);
    EXPECT_TRUE(log.contains(warn, "10000 consecutive row group counter mismatches, forcing resync"));
    // Publication never depended on sync.
    EXPECT_EQ(r.sets.size(), 10001u / 16);
}

TEST(NP2RowDecoder, LostSyncChangesWarnRecoverAndForceResync) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 2);
    enc.set_lost_sync_counter(3);
    enc.append_rows(words, 2);
    feed(r.decoder, words);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Lost sync at 0 -> 3"});
    EXPECT_TRUE(log.contains(info, "Lost-sync counter stabilized after 1 consecutive changes"));

    words.clear();
    for (int i = 1; i <= 10000; ++i) {
        enc.set_lost_sync_counter(static_cast<uint8_t>(i % 2 + 4));
        enc.append_rows(words, 1);
        if (i == 9999) {
            feed(r.decoder, words);
            words.clear();
            EXPECT_TRUE(r.decoder.synced());
            EXPECT_EQ(r.decoder.lost_sync_changes(), 9999);
        }
    }
    feed(r.decoder, words);
    EXPECT_FALSE(r.decoder.synced());
    EXPECT_TRUE(log.contains(warn, "10000 consecutive lost-sync counter changes, forcing resync"));
}

TEST(NP2RowDecoder, BadPreambleIsReportedAndTheRowStillUsed) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 7);
    enc.corrupt_next_preamble(0x66, 0x98);
    enc.append_superframes(words, 1);
    feed(r.decoder, words);
    EXPECT_EQ(log.at(error), std::vector<std::string>{"Invalid preamble"});
    ASSERT_EQ(r.sets.size(), 1u);
    expect_set(r.sets[0], 0);
}

TEST(NP2RowDecoder, InvalidSubrowIdsAreIgnored) {
    test::LogCapture log;
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 2);
    feed(r.decoder, words);
    for (uint8_t id : {0, 4, 15}) {
        words.clear();
        enc.override_next_subrow_id(id);
        enc.append_subrows(words, 1);  // a header that is no longer one
        feed(r.decoder, words);
        EXPECT_TRUE(log.contains(error, fmt::format("Invalid subrow ID: {}", id)));
        EXPECT_EQ(r.decoder.row(), 2);
        enc.append_subrows(words, 2);  // finish the encoder's row without feeding it
    }
    EXPECT_EQ(log.at(error).size(), 3u);
}

TEST(NP2RowDecoder, MissingSubrowsLeaveTheLastRowsValuesInTheirSlots) {
    Recorder r;
    auto enc = encoder();
    std::vector<uint8_t> words;
    enc.append_rows(words, 4);
    enc.drop_next_subrow(1);
    enc.drop_next_subrow(2);
    enc.append_superframes(words, 1);  // row 4 arrives as subrow 3 alone
    feed(r.decoder, words);
    ASSERT_EQ(r.sets.size(), 1u);
    const auto& set = r.sets[0];
    for (int i = 0; i < 24; ++i) {
        const int channel = 32 * (i / 2) + 2 * 4 + (i % 2);
        const int source = i < 15 ? channel - 2 : channel;  // samples 0..14 are row 3's
        EXPECT_EQ(set.samples[channel], test::np2_code(0, source)) << "sample " << i;
    }
}

}  // namespace
}  // namespace pelionp::NP2
