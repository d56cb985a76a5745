// The encoders' wire bytes, checked against hand-computed words.
#include "sim/stream_encoders.h"

#include <functional>
#include <span>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace pelionp::sim {
namespace {

std::vector<uint8_t> word_at(const std::vector<uint8_t>& words, std::size_t n) {
    return {words.begin() + 16 * n, words.begin() + 16 * (n + 1)};
}

TEST(StreamEncoders, TimestampWordsCountRowsAndCarryLittleEndianTime) {
    TimestampEncoder ts(0x1122334455667788, 2);
    std::vector<uint8_t> out;
    ts.append(out);
    ts.framer().jump_row_counter(9);
    ts.framer().corrupt_next_preamble(0xA);
    ts.append(out);
    EXPECT_EQ(word_at(out, 0),
              (std::vector<uint8_t>{0xD4, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(out[16], 0xA4);  // corrupted preamble, once
    EXPECT_EQ(out[17], 10);    // counter 1 jumped by 9
    EXPECT_EQ(out[18], 0x8A);  // the timestamp advanced by its step
    ts.append(out);
    EXPECT_EQ(out[32], 0xD4);
    EXPECT_EQ(out[33], 11);
}

TEST(StreamEncoders, NP1BeatsCarryMarkerValuesAndFrameNumbers) {
    NP1Encoder enc(2, {[](uint64_t, int c) -> uint16_t { return static_cast<uint16_t>(c); },
                       [](uint64_t, int c) -> uint16_t { return static_cast<uint16_t>(0x200 + c); }},
                   13 * 3 + 0);
    std::vector<uint8_t> out;
    enc.append_frames(out, 2);
    ASSERT_EQ(out.size(), 10u * 16);
    // Frame 39: LFP frame of group 3 (s = 3): position 0 is channel 6 -> 0x206,
    // with the marker in w0 of beat 0.
    auto w = [&](int beat, int k) { return out[16 * beat + 2 + 2 * k] | (out[16 * beat + 3 + 2 * k] << 8); };
    EXPECT_EQ(out[0], 0xD2);
    EXPECT_EQ(w(0, 0), 0x1800 | 0x206);
    EXPECT_EQ(w(1, 0), 0x207);           // position 1: channel 7
    EXPECT_EQ(w(0, 1), 0x200 + 55);      // position 5: channel 24 * 2 + 2 * 3 + 1
    EXPECT_EQ(w(3, 6), 0);               // position 33: frame number 39 >> 10
    EXPECT_EQ(w(4, 6), 39);              // position 34: low 10 bits
    // Frame 40: AP frame g = 1, no marker; position 0 is channel 0.
    EXPECT_EQ(w(5, 0), 0);
    EXPECT_EQ(w(6, 0), 1);
    EXPECT_EQ(w(9, 6), 40);
    EXPECT_EQ(out[16 * 9 + 1], 9);  // row counter
}

TEST(StreamEncoders, NP2SubrowsPackTwelveBitValuesMsbFirst) {
    NP2Encoder enc(9, {[](uint64_t, int c) -> uint16_t { return static_cast<uint16_t>(0xABC + c); }}, 0, 0x42);
    enc.set_lost_sync_counter(7);
    std::vector<uint8_t> out;
    enc.append_rows(out, 1);
    ASSERT_EQ(out.size(), 48u);
    // Header of row 0: flag, preamble, counters, then samples 0..5 =
    // channels 0, 1, 32, 33, 64, 65 (0xABC 0xABD 0xADC 0xADD 0xAFC 0xAFD) as
    // values 3..8 from byte 5.
    EXPECT_EQ(word_at(out, 0), (std::vector<uint8_t>{0xD9, 0, 0x11, 0x66, 0x99, 0x42, 0x07, 0xAB, 0xCA, 0xBD, 0xAD,
                                                      0xCA, 0xDD, 0xAF, 0xCA, 0xFD}));
    // Subrow 2: samples 6..14 = channels 96, 97, 128, ... from bit 4.
    EXPECT_EQ(out[16 + 2], 0x2B);
    EXPECT_EQ(out[16 + 3], 0x1C);  // 0xB1C (channel 96) spans the nibble boundary
    EXPECT_EQ(out[16 + 4], 0xB1);
    EXPECT_EQ(out[16 + 5], 0xDB);  // then 0xB1D
    EXPECT_EQ(out[32 + 2] >> 4, 3);
    // The next header counts on, without the superframe flag.
    enc.append_subrows(out, 1);
    EXPECT_EQ(out[48 + 2], 0x10);
    EXPECT_EQ(out[48 + 5], 0x43);
}

TEST(StreamEncoders, NP2FaultsDropAndRelabelSubrows) {
    NP2Encoder enc(8, {[](uint64_t, int) -> uint16_t { return 0; }});
    std::vector<uint8_t> out;
    enc.drop_next_subrow(2);
    enc.append_rows(out, 1);
    ASSERT_EQ(out.size(), 32u);
    EXPECT_EQ(out[2] >> 4, 1);
    EXPECT_EQ(out[18] >> 4, 3);
    EXPECT_EQ(out[17], 1);  // the device's row counter does not count the lost word
    enc.override_next_subrow_id(0);
    enc.corrupt_next_preamble(1, 2);
    enc.append_subrows(out, 1);
    EXPECT_EQ(out[34] >> 4, 0);
    EXPECT_EQ(out[35], 1);
    EXPECT_EQ(out[36], 2);
}

TEST(StreamEncoders, IOWordsCarryIndexFillerAndLittleEndianData) {
    IOEncoder enc([](uint64_t) {
        IOFrameContent c;
        c.value_u64 = 0x0807060504030201;
        c.values_u32 = {0x44332211, 0x88776655};
        for (int k = 0; k < 16; ++k) c.values_u16[k] = static_cast<uint16_t>(0x100 * k + k);
        return c;
    });
    std::vector<uint8_t> out;
    enc.append_frames(out, 1);
    ASSERT_EQ(out.size(), 96u);
    EXPECT_EQ(word_at(out, 0),
              (std::vector<uint8_t>{0xD5, 0, 1, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(word_at(out, 1)[8], 0x11);
    EXPECT_EQ(word_at(out, 1)[12], 0x55);
    EXPECT_EQ(word_at(out, 5)[2], 6);
    EXPECT_EQ(word_at(out, 5)[14], 0x0F);  // values_u16[15] = 0x0F0F
}

TEST(StreamEncoders, InterleaverSendsATimestampThenEveryStreamWordByWord) {
    TimestampEncoder ts(100);
    StreamInterleaver board(ts);
    IOEncoder io([](uint64_t) { return IOFrameContent{}; });
    NP2Encoder np2(12, {[](uint64_t, int) -> uint16_t { return 0; }});
    board.add(io);
    board.add(np2);
    std::vector<uint8_t> out;
    board.append_ticks(out, 2);
    ASSERT_EQ(out.size(), 2u * (1 + 6 + 48) * 16);
    EXPECT_EQ(out[0], 0xD4);
    EXPECT_EQ(out[16], 0xD5);
    EXPECT_EQ(out[32], 0xDC);
    EXPECT_EQ(out[48], 0xD5);
    EXPECT_EQ(out[16 * 13], 0xDC);  // IO done after six, NP2 goes on alone
    EXPECT_EQ(out[16 * 14], 0xDC);
    EXPECT_EQ(out[16 * 55], 0xD4);
    EXPECT_EQ(out[16 * 55 + 2], 101);
}


// Cached words sent again must be the words encoding from samples gives, with
// the sending encoder's framing: counters, frame numbers, lost-sync counter.
TEST(StreamEncoders, NP2CachedSuperframeIsTheSuperframeEncodedFromSamples) {
    const NP2Samples samples{[](uint64_t sf, int c) -> uint16_t { return static_cast<uint16_t>((sf * 31 + c * 7) & 0xFFF); }};
    NP2Encoder maker(0, samples, 5);  // another SID and other counters
    std::vector<uint8_t> cached;
    maker.append_superframes(cached, 1);
    ASSERT_EQ(cached.size(), NP2Encoder::SUPERFRAME_BYTES);
    const std::span<const uint8_t, NP2Encoder::SUPERFRAME_BYTES> words(cached.data(), cached.size());

    struct Case {
        const char* name;
        uint8_t row_counter;
        uint8_t row_group;
        uint8_t lost_sync;
    };
    for (const Case c : {Case{"fresh", 0, 0, 0}, Case{"counters wrap", 250, 254, 3}}) {
        SCOPED_TRACE(c.name);
        NP2Encoder sender(9, samples, 5, c.row_group), reference(9, samples, 5, c.row_group);
        sender.framer().jump_row_counter(c.row_counter);
        reference.framer().jump_row_counter(c.row_counter);
        sender.set_lost_sync_counter(c.lost_sync);
        reference.set_lost_sync_counter(c.lost_sync);
        std::vector<uint8_t> got, want;
        ASSERT_TRUE(sender.append_encoded_superframe(got, words));
        reference.append_superframes(want, 1);
        EXPECT_EQ(got, want);
        EXPECT_EQ(sender.superframe(), 6u);
        // Both go on alike from samples.
        sender.append_rows(got, 1);
        reference.append_rows(want, 1);
        EXPECT_EQ(got, want);
    }
}

TEST(StreamEncoders, NP2CachedSuperframeRefusedMidwayOrWithAFaultArmed) {
    const NP2Samples samples{[](uint64_t, int) -> uint16_t { return 0x123; }};
    NP2Encoder maker(9, samples);
    std::vector<uint8_t> cached;
    maker.append_superframes(cached, 1);
    const std::span<const uint8_t, NP2Encoder::SUPERFRAME_BYTES> words(cached.data(), cached.size());
    const std::vector<std::pair<const char*, std::function<void(NP2Encoder&)>>> cases = {
        {"mid superframe", [](NP2Encoder& e) { std::vector<uint8_t> w; e.append_subrows(w, 1); }},
        {"subrow dropped", [](NP2Encoder& e) { e.drop_next_subrow(2); }},
        {"subrow ID", [](NP2Encoder& e) { e.override_next_subrow_id(5); }},
        {"header preamble", [](NP2Encoder& e) { e.corrupt_next_preamble(1, 2); }},
        {"flag cleared", [](NP2Encoder& e) { e.clear_next_superframe_flag(); }},
        {"flag forced", [](NP2Encoder& e) { e.force_next_superframe_flag(); }},
        {"word preamble", [](NP2Encoder& e) { e.framer().corrupt_next_preamble(0xA); }},
    };
    for (const auto& [name, arm] : cases) {
        SCOPED_TRACE(name);
        NP2Encoder sender(9, samples);
        arm(sender);
        std::vector<uint8_t> out;
        EXPECT_FALSE(sender.append_encoded_superframe(out, words));
        EXPECT_TRUE(out.empty());
    }
}

TEST(StreamEncoders, NP1CachedApFramesAreTheFramesEncodedFromSamples) {
    const NP1Samples samples{[](uint64_t g, int c) -> uint16_t { return static_cast<uint16_t>((g * 5 + c * 3) & 0x3FF); },
                             [](uint64_t s, int c) -> uint16_t { return static_cast<uint16_t>((s + c) & 0x3FF); }};
    NP1Encoder maker(0, samples, 13 * 7 + 1);
    std::vector<uint8_t> cached;
    maker.append_frames(cached, 12);
    ASSERT_EQ(cached.size(), NP1Encoder::AP_FRAMES_BYTES);
    const std::span<const uint8_t, NP1Encoder::AP_FRAMES_BYTES> words(cached.data(), cached.size());

    // Same group (same samples), frame numbers of another place; the last
    // case crosses the 20-bit frame number's wrap.
    for (const uint64_t group : {7ull, 7ull + 13 * 12 * 400, (1ull << 20) / 13}) {
        SCOPED_TRACE(group);
        const uint64_t first = 13 * group;
        NP1Encoder sender(3, samples, first), reference(3, samples, first);
        std::vector<uint8_t> got, want;
        sender.append_frames(got, 1);  // the LFP frame
        ASSERT_TRUE(sender.append_encoded_ap_frames(got, words));
        reference.append_groups(want, 1);
        if (group == 7) {
            EXPECT_EQ(got, want);
        } else {
            // Another group: the samples differ, the frame numbers and
            // framing must still be the reference's.
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t beat = 0; beat < got.size() / 16; ++beat) {
                EXPECT_EQ(got[16 * beat], want[16 * beat]);
                EXPECT_EQ(got[16 * beat + 1], want[16 * beat + 1]);
                if (beat % 5 >= 3) {  // the frame number, in value 6 of beats 3 and 4
                    EXPECT_EQ(got[16 * beat + 14], want[16 * beat + 14]) << beat;
                    EXPECT_EQ(got[16 * beat + 15], want[16 * beat + 15]) << beat;
                }
            }
        }
        EXPECT_EQ(sender.frame_index(), reference.frame_index());
    }
}

TEST(StreamEncoders, NP1CachedApFramesRefusedOffTheirPlaceOrWithAFaultArmed) {
    const NP1Samples samples{[](uint64_t, int) -> uint16_t { return 1; }, [](uint64_t, int) -> uint16_t { return 2; }};
    NP1Encoder maker(0, samples, 1);
    std::vector<uint8_t> cached;
    maker.append_frames(cached, 12);
    const std::span<const uint8_t, NP1Encoder::AP_FRAMES_BYTES> words(cached.data(), cached.size());
    const std::vector<std::pair<const char*, std::function<void(NP1Encoder&)>>> cases = {
        {"at the LFP frame", [](NP1Encoder&) {}},
        {"mid frame", [](NP1Encoder& e) { std::vector<uint8_t> w; e.append_frames(w, 1); e.append_beats(w, 2); }},
        {"frames to skip", [](NP1Encoder& e) { std::vector<uint8_t> w; e.append_frames(w, 1); e.skip_frames(1); }},
        {"frame number", [](NP1Encoder& e) { std::vector<uint8_t> w; e.append_frames(w, 1); e.override_next_frame_number(9); }},
        {"word preamble", [](NP1Encoder& e) { std::vector<uint8_t> w; e.append_frames(w, 1); e.framer().corrupt_next_preamble(1); }},
    };
    for (const auto& [name, arm] : cases) {
        SCOPED_TRACE(name);
        NP1Encoder sender(0, samples);
        arm(sender);
        std::vector<uint8_t> out;
        EXPECT_FALSE(sender.append_encoded_ap_frames(out, words));
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
}  // namespace pelionp::sim
