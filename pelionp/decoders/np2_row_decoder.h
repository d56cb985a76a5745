#pragma once
// The Neuropixels 2.0 row decoder: turns the 14-byte payloads of one NP2
// stream (SIDs 8..15) into raw AP sets of all 384 channels, one per
// superframe.
//
// Wire format, as read here: payload byte 0 bits 7..4 are the subrow ID
// (1, 2, 3); the other 108 bits are nine 12-bit values, MSB first. Subrow 1
// is the header: byte 0 bit 0 flags a superframe start, bytes 1 and 2 are the
// 0x66 0x99 preamble, byte 3 the row group counter, byte 4 the lost-sync
// counter, values 3..8 six samples. Subrows 2 and 3 carry nine samples each;
// subrow 3 ends the row. Sixteen rows make a superframe.
//
// Threading contract: not thread-safe; one decoder belongs to one thread
// (the worker's), and its callback runs on that thread.
#include <array>
#include <cstdint>
#include <span>

#include "pelio/std23.h"
#include "pelionp/demux/sid_queue.h"
#include "pelionp/export.h"

namespace pelionp::NP2 {

inline constexpr int CHANNEL_COUNT = 384;
inline constexpr int ROWS_PER_SUPERFRAME = 16;
inline constexpr int SAMPLES_PER_ROW = 24;
inline constexpr uint8_t PREAMBLE_0 = 0x66;
inline constexpr uint8_t PREAMBLE_1 = 0x99;
inline constexpr int64_t FORCED_RESYNC_MISMATCHES = 10000;

/// One superframe: 12-bit codes by channel.
struct RawAPData {
    uint64_t timestamp;  // stream timestamp of the subrow-3 word that completed it
    std::array<uint16_t, CHANNEL_COUNT> samples;
    // The decoder's account of every word it took since the previous set:
    // the words that went into this one, and the words lost to sync (a set
    // cut off by a superframe start, a word without a valid subrow ID).
    uint32_t words = 0;
    uint32_t sync_lost_words = 0;
};

/// Stream words of one AP set: 16 rows of three subrows.
inline constexpr uint32_t WORDS_PER_SET = ROWS_PER_SUPERFRAME * 3;

/// One superframe, gain-corrected.
struct APData {
    uint64_t timestamp;
    int16_t samples[CHANNEL_COUNT];
};
static_assert(std::is_trivially_copyable_v<APData>);

class PELIONP_API RowDecoder {
public:
    using Callback = std23::move_only_function<void(const RawAPData&)>;

    /// Throws std::invalid_argument if the callback is empty.
    explicit RowDecoder(Callback on_raw_ap);

    /// Back to the initial state; zeroes the set under assembly.
    void reset();
    /// One subrow: the 14 payload bytes of a stream word and its timestamp.
    void decode(uint64_t timestamp, const uint8_t* payload);
    /// `decode` for every word of a list, in order, with the payloads read in
    /// place from `buffer` (the words' offsets are into it).
    void decode_words(std::span<const demux::SIDWord> words, const uint8_t* buffer);

    [[nodiscard]] bool synced() const { return synced_; }
    [[nodiscard]] int64_t row() const { return row_; }
    [[nodiscard]] int64_t row_group_mismatches() const { return row_group_mismatches_; }
    [[nodiscard]] int64_t lost_sync_changes() const { return lost_sync_changes_; }

private:
    void decode_one(uint64_t timestamp, const uint8_t* payload);
    void store_row(const uint8_t* p1, const uint8_t* p2, const uint8_t* p3, uint16_t* row) noexcept;
    void fill_slots() noexcept;
    [[gnu::noinline]] void publish(uint64_t timestamp);
    void header(const uint8_t* p);
    void header_slow(const uint8_t* p);

    Callback on_raw_ap_;
    RawAPData set_{};  // set_.samples is the set under assembly
    int64_t row_ = 0;
    uint16_t subrow_values_[SAMPLES_PER_ROW]{};
    uint64_t expected_row_group_ = 0;
    uint8_t lost_sync_counter_ = 0;
    bool synced_ = false;
    int64_t row_group_mismatches_ = 0;
    int64_t lost_sync_changes_ = 0;
    uint32_t set_words_ = 0;        // words taken into the set under assembly
    uint32_t sync_lost_words_ = 0;  // words lost to sync since the last set
};

}  // namespace pelionp::NP2
