// The encoders' wire bytes, checked against hand-computed words.
#include "sim/stream_encoders.h"

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

}  // namespace
}  // namespace pelionp::sim
