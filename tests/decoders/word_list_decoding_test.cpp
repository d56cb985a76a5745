// The decoders' whole-list paths (whole frames, whole rows) must deliver
// exactly what the word-by-word path delivers, faults included, wherever the
// list borders fall; and the vectorised gain correction must round, clamp
// and treat NaN exactly as the scalar rule.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "pelionp/decoders/gain.h"
#include "pelionp/decoders/np1_frame_decoder.h"
#include "pelionp/decoders/np2_row_decoder.h"
#include "sim/stream_encoders.h"
#include "tests/decoders/feed.h"
#include "tests/support/log_capture.h"

namespace pelionp {
namespace {

// Hands `words` to decode_words in lists of varying length, with the words'
// payloads scattered through a buffer (not packed), as the coordinator does.
template <class Decoder>
void feed_lists(Decoder& decoder, const std::vector<uint8_t>& words) {
    const std::size_t count = words.size() / 16;
    std::vector<uint8_t> buffer(2 * words.size());
    std::vector<demux::SIDWord> all;
    for (std::size_t k = 0; k < count; ++k) {
        std::memcpy(buffer.data() + 32 * k, words.data() + 16 * k, 16);
        all.emplace_back(1000 + k, static_cast<int>(32 * k));
    }
    std::size_t at = 0;
    for (std::size_t n = 0; at < count; ++n) {
        const std::size_t size = std::min(count - at, 1 + (n * 37) % 11);
        decoder.decode_words(std::span(all).subspan(at, size), buffer.data());
        at += size;
    }
}

template <class Decoder>
void feed_words(Decoder& decoder, const std::vector<uint8_t>& words) {
    for (std::size_t k = 0; k < words.size() / 16; ++k) {
        decoder.decode(1000 + k, words.data() + 16 * k + 2);
    }
}

std::vector<uint8_t> faulty_np1_stream() {
    sim::NP1Encoder e(0, {test::np1_ap_code, test::np1_lfp_code});
    std::vector<uint8_t> w;
    e.append_beats(w, 7);  // starts mid-frame: beats dropped until a marker
    e.append_superframes(w, 2);
    e.skip_frames(1);
    e.append_groups(w, 14);
    e.override_next_frame_number(0x1234);
    e.append_groups(w, 13);
    e.omit_next_sync_marker();
    e.append_superframes(w, 2);
    e.append_beats(w, 3);
    return w;
}

std::vector<uint8_t> faulty_np2_stream() {
    sim::NP2Encoder e(8, {test::np2_code});
    std::vector<uint8_t> w;
    e.append_subrows(w, 5);
    e.append_superframes(w, 2);
    e.drop_next_subrow(2);
    e.append_rows(w, 3);
    e.drop_next_subrow(1);
    e.append_rows(w, 20);
    e.corrupt_next_preamble(0x12, 0x34);
    e.jump_row_group_counter(5);
    e.append_rows(w, 7);
    e.override_next_subrow_id(7);
    e.append_rows(w, 4);
    e.set_lost_sync_counter(3);
    e.clear_next_superframe_flag();
    e.append_superframes(w, 2);
    e.force_next_superframe_flag();
    e.append_rows(w, 9);
    e.drop_next_subrow(3);
    e.append_superframes(w, 2);
    e.append_subrows(w, 2);
    return w;
}

struct NP1Output {
    std::vector<NP1::APData> ap;
    std::vector<NP1::LPData> lfp;
    std::vector<std::string> log;
    bool synced = false;
    int64_t frame_counter = 0;
};

template <bool Lists>
NP1Output run_np1(const std::vector<uint8_t>& words) {
    test::LogCapture log;
    NP1Output out;
    NP1::FrameDecoder d([&](NP1::APData a) { out.ap.push_back(a); }, [&](NP1::LPData l) { out.lfp.push_back(l); });
    if constexpr (Lists) feed_lists(d, words); else feed_words(d, words);
    for (auto level : {spdlog::level::info, spdlog::level::warn}) {
        for (auto& m : log.at(level)) out.log.push_back(m);
    }
    out.synced = d.synced();
    out.frame_counter = d.frame_counter();
    return out;
}

TEST(WordListDecoding, NP1WholeFramesDeliverWhatBeatsDeliver) {
    const auto words = faulty_np1_stream();
    const auto by_word = run_np1<false>(words);
    const auto by_list = run_np1<true>(words);
    ASSERT_GE(by_word.ap.size(), 60u);
    ASSERT_GT(by_word.lfp.size(), 3u);
    ASSERT_GE(by_word.log.size(), 4u);  // synced, continuity failed and recovered, lost sync
    ASSERT_EQ(by_list.ap.size(), by_word.ap.size());
    for (std::size_t i = 0; i < by_word.ap.size(); ++i) {
        const auto& l = by_list.ap[i];
        const auto& w = by_word.ap[i];
        EXPECT_EQ(l.timestamp, w.timestamp) << "AP set " << i;
        EXPECT_EQ(l.index, w.index) << "AP set " << i;
        EXPECT_EQ(l.complete, w.complete) << "AP set " << i;
        ASSERT_EQ(std::memcmp(l.samples, w.samples, sizeof l.samples), 0) << "AP set " << i;
    }
    ASSERT_EQ(by_list.lfp.size(), by_word.lfp.size());
    for (std::size_t i = 0; i < by_word.lfp.size(); ++i) {
        EXPECT_EQ(by_list.lfp[i].timestamp, by_word.lfp[i].timestamp) << "LFP set " << i;
        ASSERT_EQ(std::memcmp(by_list.lfp[i].samples, by_word.lfp[i].samples, sizeof(NP1::LPData::samples)), 0)
            << "LFP set " << i;
    }
    EXPECT_EQ(by_list.log, by_word.log);
    EXPECT_EQ(by_list.synced, by_word.synced);
    EXPECT_EQ(by_list.frame_counter, by_word.frame_counter);
}

struct NP2Output {
    std::vector<NP2::RawAPData> sets;
    std::vector<std::string> log;
    int64_t row = 0;
};

template <bool Lists>
NP2Output run_np2(const std::vector<uint8_t>& words) {
    test::LogCapture log;
    NP2Output out;
    NP2::RowDecoder d([&](NP2::RawAPData r) { out.sets.push_back(r); });
    if constexpr (Lists) feed_lists(d, words); else feed_words(d, words);
    // One more row built from the slots alone: a list path that left them
    // stale shows here.
    sim::NP2Encoder tail(8, {test::np2_code});
    std::vector<uint8_t> subrow3;
    tail.drop_next_subrow(1);
    tail.drop_next_subrow(2);
    tail.append_subrows(subrow3, 1);
    for (int r = 0; r < NP2::ROWS_PER_SUPERFRAME; ++r) feed_words(d, subrow3);
    for (auto level : {spdlog::level::info, spdlog::level::warn, spdlog::level::err}) {
        for (auto& m : log.at(level)) out.log.push_back(m);
    }
    out.row = d.row();
    return out;
}

TEST(WordListDecoding, NP2WholeRowsDeliverWhatSubrowsDeliver) {
    const auto words = faulty_np2_stream();
    const auto by_word = run_np2<false>(words);
    const auto by_list = run_np2<true>(words);
    ASSERT_GE(by_word.sets.size(), 8u);
    ASSERT_GE(by_word.log.size(), 5u);
    ASSERT_EQ(by_list.sets.size(), by_word.sets.size());
    for (std::size_t i = 0; i < by_word.sets.size(); ++i) {
        EXPECT_EQ(by_list.sets[i].timestamp, by_word.sets[i].timestamp) << "set " << i;
        ASSERT_EQ(by_list.sets[i].samples, by_word.sets[i].samples) << "set " << i;
    }
    EXPECT_EQ(by_list.log, by_word.log);
    EXPECT_EQ(by_list.row, by_word.row);
}

TEST(GainCorrection, EveryCodeAndAwkwardGainsMatchTheScalarRule) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> awkward{0.0f, -0.0f, 1.0f, -1.0f, 0.37f, 15.999f, 16.0f, 16.01f, 1e9f, -1e9f,
                                     3e38f, inf, -inf, nan, 1e-40f, 8.0039f, -8.0039f, 64.0f, 65537.0f};
    std::array<uint16_t, 384> codes;
    std::array<float, 384> gain;
    std::array<int16_t, 384> out;
    for (int base = 0; base < 4096; base += 384) {
        for (std::size_t g = 0; g < awkward.size(); ++g) {
            for (int c = 0; c < 384; ++c) {
                codes[c] = static_cast<uint16_t>((base + c) % 4096);
                gain[c] = awkward[(g + c) % awkward.size()];
            }
            correct_codes<384, 2048, 1>(codes.data(), gain.data(), out.data());
            for (int c = 0; c < 384; ++c) {
                ASSERT_EQ(out[c], to_sample_i16(static_cast<float>(codes[c] - 2048) * gain[c]))
                    << "NP2 code " << codes[c] << " gain " << gain[c];
            }
            correct_codes<384, 512, -1>(codes.data(), gain.data(), out.data());
            for (int c = 0; c < 384; ++c) {
                ASSERT_EQ(out[c], to_sample_i16(static_cast<float>(512 - codes[c]) * gain[c]))
                    << "NP1 code " << codes[c] << " gain " << gain[c];
            }
        }
    }
}

}  // namespace
}  // namespace pelionp
