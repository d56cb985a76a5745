// The decoders meet every field the formats allow, set and clear, not only
// the bit patterns the simulated encoders produce: unused bits must change
// nothing, and a marker, a counter or a sample is only taken where the
// format puts it.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "pelionp/decoders/np1_frame_decoder.h"
#include "pelionp/decoders/np2_row_decoder.h"
#include "sim/stream_encoders.h"
#include "tests/decoders/feed.h"
#include "tests/support/log_capture.h"

namespace pelionp {
namespace {

uint16_t value_at(const std::vector<uint8_t>& words, std::size_t word, int v) {
    uint16_t x;
    std::memcpy(&x, words.data() + word * 16 + 2 + 2 * v, sizeof x);
    return x;
}
void set_value(std::vector<uint8_t>& words, std::size_t word, int v, uint16_t x) {
    std::memcpy(words.data() + word * 16 + 2 + 2 * v, &x, sizeof x);
}

// --- NP1: seven 16-bit values a beat, data in bits 9..0, the marker in w0
// bits 15..11 of beat 0 of each group's frame 0; bits 15..10 elsewhere (and
// bit 10 of a marker word) are unused.

struct Np1Case {
    const char* name;
    // Rewrites value `v` of a beat; `marker_beat` is beat 0 of a group's frame 0.
    std::function<uint16_t(uint16_t value, int v, bool marker_beat)> change;
    bool decodes;  // every set as from the clean stream; else no set at all
};

class Np1Fields : public ::testing::TestWithParam<Np1Case> {};

TEST_P(Np1Fields, UnusedBitsChangeNothingAndOnlyTheMarkerFieldIsAMarker) {
    test::LogCapture log;
    sim::NP1Encoder encoder(0, {test::np1_ap_code, test::np1_lfp_code});
    std::vector<uint8_t> words;
    encoder.append_superframes(words, 3);
    const std::size_t count = words.size() / 16;
    for (std::size_t k = 0; k < count; ++k) {
        const bool marker_beat = k % 65 == 0;
        for (int v = 0; v < 7; ++v) set_value(words, k, v, GetParam().change(value_at(words, k, v), v, marker_beat));
    }
    std::vector<NP1::APData> ap;
    std::vector<NP1::LPData> lfp;
    NP1::FrameDecoder decoder([&](NP1::APData d) { ap.push_back(d); }, [&](NP1::LPData d) { lfp.push_back(d); });
    decoder.reset();
    test::feed(decoder, words);

    if (!GetParam().decodes) {
        EXPECT_TRUE(ap.empty());
        EXPECT_FALSE(decoder.synced());
        return;
    }
    ASSERT_EQ(ap.size(), 36u);
    ASSERT_EQ(lfp.size(), 3u);
    for (std::size_t g = 0; g < ap.size(); ++g) {
        EXPECT_TRUE(ap[g].complete) << g;
        EXPECT_EQ(ap[g].words, NP1::WORDS_PER_SET);
        for (int c = 0; c < NP1::CHANNEL_COUNT; ++c) ASSERT_EQ(ap[g].samples[c], test::np1_ap_code(g, c)) << g << " " << c;
    }
    for (std::size_t s = 0; s < lfp.size(); ++s)
        for (int c = 0; c < NP1::CHANNEL_COUNT; ++c) ASSERT_EQ(lfp[s].samples[c], test::np1_lfp_code(s, c));
    EXPECT_EQ(decoder.mismatch_count(), 0);
    EXPECT_EQ(log.count_containing("continuity failed"), 0u) << "the frame number takes only its ten bits";
    EXPECT_EQ(log.count_containing("Lost sync"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Np1Fields,
    ::testing::Values(
        Np1Case{"UnusedBitsSet",
                [](uint16_t x, int v, bool marker) { return static_cast<uint16_t>(x | (marker && v == 0 ? 0x0400 : 0xFC00)); },
                true},
        Np1Case{"UnusedBitsClear",
                [](uint16_t x, int v, bool marker) { return static_cast<uint16_t>(x & (marker && v == 0 ? 0xFBFF : 0x03FF)); },
                true},
        Np1Case{"MarkerPatternOutsideTheMarkerField",
                [](uint16_t x, int, bool marker) {
                    return marker ? x : static_cast<uint16_t>((x & 0x07FF) | NP1::SYNC_MARKER);
                },
                true},
        Np1Case{"MarkerFieldWithAnyOtherPattern",
                [](uint16_t x, int v, bool marker) {
                    return marker && v == 0 ? static_cast<uint16_t>(x | 0xF800) : x;  // 11111, not 00011
                },
                false},
        Np1Case{"MarkerFieldOffByOneBit",
                [](uint16_t x, int v, bool marker) {
                    return marker && v == 0 ? static_cast<uint16_t>(x ^ 0x0800) : x;  // 00010
                },
                false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- NP2: byte 0 bits 7..4 the subrow ID; in a header (subrow 1) bit 0 the
// superframe start and bits 3..1 unused, then the preamble, the row group
// and lost-sync counters; every other bit a 12-bit sample.

struct Np2Case {
    const char* name;
    std::function<void(uint8_t* payload)> change;  // applied to every header's payload
    bool decodes;
};

class Np2Fields : public ::testing::TestWithParam<Np2Case> {};

TEST_P(Np2Fields, HeaderFieldsAreTakenOnlyWhereTheFormatPutsThem) {
    test::LogCapture log;
    sim::NP2Encoder encoder(8, {test::np2_code});
    std::vector<uint8_t> words;
    encoder.append_superframes(words, 3);
    for (std::size_t k = 0; k < words.size() / 16; ++k) {
        uint8_t* payload = words.data() + k * 16 + 2;
        if ((payload[0] >> 4) == 1) GetParam().change(payload);
    }
    std::vector<NP2::RawAPData> sets;
    NP2::RowDecoder decoder([&](NP2::RawAPData d) { sets.push_back(d); });
    decoder.reset();
    test::feed(decoder, words);
    if (!GetParam().decodes) {
        for (const auto& set : sets) EXPECT_NE(set.words, NP2::WORDS_PER_SET) << "no whole set";
        return;
    }
    ASSERT_EQ(sets.size(), 3u);
    for (std::size_t s = 0; s < sets.size(); ++s) {
        EXPECT_EQ(sets[s].words, NP2::WORDS_PER_SET);
        for (int c = 0; c < NP2::CHANNEL_COUNT; ++c) ASSERT_EQ(sets[s].samples[c], test::np2_code(s, c)) << s << " " << c;
    }
    EXPECT_EQ(decoder.row_group_mismatches(), 0);
    EXPECT_EQ(decoder.lost_sync_changes(), 0);
    EXPECT_EQ(log.count_containing("Invalid"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Np2Fields,
    ::testing::Values(Np2Case{"UnusedHeaderBitsSet", [](uint8_t* p) { p[0] = static_cast<uint8_t>(p[0] | 0x0E); }, true},
                      Np2Case{"UnusedHeaderBitsClear", [](uint8_t* p) { p[0] = static_cast<uint8_t>(p[0] & 0xF1); }, true},
                      // A header whose ID nibble is no subrow's: not a row's start.
                      Np2Case{"HeaderWithAnInvalidSubrowId",
                              [](uint8_t* p) { p[0] = static_cast<uint8_t>((p[0] & 0x0F) | 0x40); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelionp
