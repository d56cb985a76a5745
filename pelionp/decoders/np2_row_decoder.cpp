#include "pelionp/decoders/np2_row_decoder.h"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

namespace pelionp::NP2 {

namespace {

uint64_t load_be64(const uint8_t* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) {
        v = std::byteswap(v);
    }
    return v;
}

// Nine 12-bit values packed MSB first into bytes 0..13 (the top nibble of
// byte 0 is the subrow ID): values 0..4 are the low 60 bits of bytes 0..7,
// values 5..8 the low 48 bits of bytes 6..13, each read big-endian.
struct Unpacked {
    uint64_t a;
    uint64_t b;
    explicit Unpacked(const uint8_t* p) noexcept : a(load_be64(p)), b(load_be64(p + 6)) {}
    [[nodiscard]] uint32_t operator[](int value) const noexcept {
        return static_cast<uint32_t>((value < 5 ? a >> (12 * (4 - value)) : b >> (12 * (8 - value))) & 0xFFF);
    }
};

// f(0), ..., f(N - 1), unrolled, so that every index is a constant.
template <int N, class F>
[[gnu::always_inline]] inline void each(F&& f) {
    [&]<int... J>(std::integer_sequence<int, J...>) { (f(J), ...); }(std::make_integer_sequence<int, N>{});
}

// Two neighbouring samples as they lie in memory, for one 32-bit store.
constexpr uint32_t pair(uint32_t first, uint32_t second) noexcept {
    return std::endian::native == std::endian::little ? first | (second << 16) : second | (first << 16);
}

void store_pair(uint16_t* at, uint32_t pair) noexcept { std::memcpy(at, &pair, sizeof pair); }
uint32_t load_pair(const uint16_t* at) noexcept {
    uint32_t pair;
    std::memcpy(&pair, at, sizeof pair);
    return pair;
}

}  // namespace

RowDecoder::RowDecoder(Callback on_raw_ap) : on_raw_ap_(std::move(on_raw_ap)) {
    if (!on_raw_ap_) {
        throw std::invalid_argument("NP2 decoder callback must not be empty");
    }
}

void RowDecoder::reset() {
    set_ = {};
    row_ = 0;
    std::ranges::fill(subrow_values_, uint16_t{0});
    expected_row_group_ = 0;
    lost_sync_counter_ = 0;
    synced_ = false;
    row_group_mismatches_ = 0;
    lost_sync_changes_ = 0;
    set_words_ = 0;
    sync_lost_words_ = 0;
}

void RowDecoder::decode(uint64_t timestamp, const uint8_t* payload) { decode_one(timestamp, payload); }

void RowDecoder::decode_words(std::span<const demux::SIDWord> words, const uint8_t* buffer) {
    const auto payload = [&](std::size_t i) { return buffer + words[i].second + demux::STREAM_PAYLOAD_OFFSET; };
    std::size_t i = 0;
    bool slots_behind = false;  // the last row was taken whole; its subrow slots are not written yet
    while (i < words.size()) {
        // A whole row at once when its three subrows arrive in order: the
        // samples go from registers to the set, and the subrow slots are
        // written once, from the last such row, when the run ends.
        if (words.size() - i >= 3) {
            const uint8_t* p1 = payload(i);
            const uint8_t* p2 = payload(i + 1);
            const uint8_t* p3 = payload(i + 2);
            if ((p1[0] >> 4) == 1 && (p2[0] >> 4) == 2 && (p3[0] >> 4) == 3) {
                header(p1);
                set_words_ += 3;
                store_row(p1, p2, p3, set_.samples.data() + 2 * row_);
                slots_behind = true;
                i += 3;
                if (++row_ == ROWS_PER_SUPERFRAME) {
                    publish(words[i - 1].first);
                }
                continue;
            }
        }
        if (slots_behind) {
            fill_slots();
            slots_behind = false;
        }
        decode_one(words[i].first, payload(i));
        ++i;
    }
    if (slots_behind) {
        fill_slots();
    }
}

// The row of subrows p1, p2, p3 (payloads 14 bytes apart in the stream, but
// anywhere in the buffer), pair by pair, to `row` (channel 2r of the set).
inline void RowDecoder::store_row(const uint8_t* p1, const uint8_t* p2, const uint8_t* p3, uint16_t* row) noexcept {
    const Unpacked s1(p1);
    const Unpacked s2(p2);
    const Unpacked s3(p3);
    store_pair(row + 32 * 0, pair(s1[3], s1[4]));
    store_pair(row + 32 * 1, pair(s1[5], s1[6]));
    store_pair(row + 32 * 2, pair(s1[7], s1[8]));
    store_pair(row + 32 * 3, pair(s2[0], s2[1]));
    store_pair(row + 32 * 4, pair(s2[2], s2[3]));
    store_pair(row + 32 * 5, pair(s2[4], s2[5]));
    store_pair(row + 32 * 6, pair(s2[6], s2[7]));
    store_pair(row + 32 * 7, pair(s2[8], s3[0]));
    store_pair(row + 32 * 8, pair(s3[1], s3[2]));
    store_pair(row + 32 * 9, pair(s3[3], s3[4]));
    store_pair(row + 32 * 10, pair(s3[5], s3[6]));
    store_pair(row + 32 * 11, pair(s3[7], s3[8]));
}

// The subrow slots as the per-subrow path would have left them after the
// last row: that row's samples, which store_row put in the set at the row
// before row_ (the row that completed a superframe is row 15).
void RowDecoder::fill_slots() noexcept {
    const int64_t last = (row_ + ROWS_PER_SUPERFRAME - 1) % ROWS_PER_SUPERFRAME;
    const uint16_t* row = set_.samples.data() + 2 * last;
    each<SAMPLES_PER_ROW / 2>([&](int j) { store_pair(subrow_values_ + 2 * j, load_pair(row + 32 * j)); });
}

void RowDecoder::publish(uint64_t timestamp) {
    set_.timestamp = timestamp;
    set_.words = std::exchange(set_words_, 0);
    set_.sync_lost_words = std::exchange(sync_lost_words_, 0);
    on_raw_ap_(set_);
    row_ = 0;
}

inline void RowDecoder::decode_one(uint64_t timestamp, const uint8_t* p) {
    // NB: the subrow slots are written and read as the sample pairs that
    // land side by side in the set (samples 2j, 2j + 1 of row r go to
    // channels 32j + 2r and 32j + 2r + 1), with the same access width on
    // both sides so that stores forward to the loads of the next subrows.
    // Sample 14 is the one pair split between subrows 2 and 3.
    const Unpacked v(p);
    uint16_t* const slots = subrow_values_;
    switch (p[0] >> 4) {
        case 1:
            header(p);
            ++set_words_;
            store_pair(slots + 0, pair(v[3], v[4]));
            store_pair(slots + 2, pair(v[5], v[6]));
            store_pair(slots + 4, pair(v[7], v[8]));
            return;
        case 2:
            each<4>([&](int j) { store_pair(slots + 6 + 2 * j, pair(v[2 * j], v[2 * j + 1])); });
            slots[14] = static_cast<uint16_t>(v[8]);
            ++set_words_;
            return;
        case 3:
            ++set_words_;
            break;
        default:
            spdlog::error("Invalid subrow ID: {}", p[0] >> 4);
            ++sync_lost_words_;
            return;
    }
    uint16_t* const row = set_.samples.data() + 2 * row_;
    each<7>([&](int j) { store_pair(row + 32 * j, load_pair(slots + 2 * j)); });
    const uint32_t straddling = pair(slots[14], v[0]);
    store_pair(row + 32 * 7, straddling);
    store_pair(slots + 14, straddling);
    each<4>([&](int j) {
        const uint32_t samples = pair(v[2 * j + 1], v[2 * j + 2]);
        store_pair(row + 32 * (8 + j), samples);
        store_pair(slots + 16 + 2 * j, samples);
    });
    if (++row_ == ROWS_PER_SUPERFRAME) {
        publish(timestamp);
    }
}

inline void RowDecoder::header(const uint8_t* p) {
    // The steady state in one comparison: no superframe start, a good
    // preamble, the expected row group, an unchanged lost-sync counter and
    // no run of either to end.
    uint32_t bytes_1_to_4;
    std::memcpy(&bytes_1_to_4, p + 1, sizeof bytes_1_to_4);
    const uint8_t expected[4] = {PREAMBLE_0, PREAMBLE_1, static_cast<uint8_t>(expected_row_group_), lost_sync_counter_};
    uint32_t steady;
    std::memcpy(&steady, expected, sizeof steady);
    if ((p[0] & 0x01) == 0 && bytes_1_to_4 == steady && (row_group_mismatches_ | lost_sync_changes_) == 0) [[likely]] {
        ++expected_row_group_;
        return;
    }
    header_slow(p);
}

void RowDecoder::header_slow(const uint8_t* p) {
    const bool was_synced = synced_;
    if (p[0] & 0x01) {
        if (row_ != 0) {
            if (was_synced) {
                spdlog::warn("Resyncing super frame counter");
            }
            row_ = 0;
            // The rows taken so far are lost with the set they began.
            sync_lost_words_ += set_words_;
            set_words_ = 0;
        }
        if (!was_synced) {
            spdlog::info("NP2 decoder synced, adopting row counter 0x{:X}", p[3]);
        }
        synced_ = true;
    }
    if (p[1] != PREAMBLE_0 || p[2] != PREAMBLE_1) {
        spdlog::error("Invalid preamble");
    }

    const uint8_t counter = p[3];
    if (counter == static_cast<uint8_t>(expected_row_group_)) {
        if (row_group_mismatches_ > 0) {
            spdlog::info("Row group counter recovered after {} consecutive mismatches", row_group_mismatches_);
            row_group_mismatches_ = 0;
        }
        ++expected_row_group_;
    } else {
        if (was_synced) {
            if (row_group_mismatches_ == 0) {
                spdlog::warn("Got counter 0x{:X}, expected 0x{:X}", counter, expected_row_group_);
            }
            if (++row_group_mismatches_ >= FORCED_RESYNC_MISMATCHES) {
                spdlog::warn("{} consecutive row group counter mismatches, forcing resync", row_group_mismatches_);
                synced_ = false;
                row_group_mismatches_ = 0;
                lost_sync_changes_ = 0;
            }
        }
        expected_row_group_ = uint64_t{counter} + 1;
    }

    const uint8_t lost = p[4];
    if (lost == lost_sync_counter_) {
        if (lost_sync_changes_ > 0) {
            spdlog::info("Lost-sync counter stabilized after {} consecutive changes", lost_sync_changes_);
            lost_sync_changes_ = 0;
        }
    } else {
        if (was_synced) {
            if (lost_sync_changes_ == 0) {
                spdlog::warn("Lost sync at {} -> {}", lost_sync_counter_, lost);
            }
            if (++lost_sync_changes_ >= FORCED_RESYNC_MISMATCHES) {
                spdlog::warn("{} consecutive lost-sync counter changes, forcing resync", lost_sync_changes_);
                synced_ = false;
                row_group_mismatches_ = 0;
                lost_sync_changes_ = 0;
            }
        }
        lost_sync_counter_ = lost;
    }
}

}  // namespace pelionp::NP2
