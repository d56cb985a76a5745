#pragma once
// The Neuropixels 1.0 frame decoder: turns the 14-byte payloads of one NP1
// stream (SIDs 0..3) into AP sets (one per frame group) and LFP sets (one per
// superframe).
//
// Wire format, as read here: a beat is one payload, seven little-endian
// 16-bit words w0..w6 whose low 10 bits are data. Five beats make a frame of
// 35 values (position 5k + beat): 32 samples, an unused value, and the 20-bit
// frame number in positions 33 (high) and 34 (low). Thirteen frames make a
// group (frame 0: LFP, frames 1..12: AP), twelve groups a superframe. Beat 0
// of every group's frame 0 carries the sync marker in w0 bits 15..11 (00011).
//
// Threading contract: not thread-safe; one decoder belongs to one thread
// (the worker's), and its callbacks run on that thread.
#include <array>
#include <cstdint>
#include <span>

#include "pelio/std23.h"
#include "pelionp/demux/sid_queue.h"
#include "pelionp/export.h"

namespace pelionp::NP1 {

inline constexpr int CHANNEL_COUNT = 384;
inline constexpr int SUPERFRAME_SIZE = 12;   // groups per superframe
inline constexpr int FRAMES_PER_GROUP = 13;  // one LFP frame, twelve AP frames
inline constexpr int BEATS_PER_FRAME = 5;
inline constexpr int VALUES_PER_FRAME = 35;
inline constexpr int SAMPLES_PER_FRAME = 32;
inline constexpr uint16_t SYNC_MARKER_MASK = 0xF800;
inline constexpr uint16_t SYNC_MARKER = 0x1800;
inline constexpr int64_t FORCED_RESYNC_MISMATCHES = 10000;

/// One AP sample of every channel (raw 10-bit codes by channel).
struct APData {
    uint64_t timestamp;  // stream timestamp of the word that completed the group
    uint8_t index;       // group index in its superframe, 0..11
    bool complete;       // the superframe ran from group 0 to here without a gap
    uint16_t samples[CHANNEL_COUNT];
    // The decoder's account of every word it took since the previous set
    // (what a stream's loss counters are built from): the words that went
    // into this set, and the words dropped while it was not synchronised
    // (before a marker, at a lost marker, a set cut off by a forced resync).
    uint32_t words = 0;
    uint32_t sync_lost_words = 0;
};

/// Stream words of one AP set (a frame group: 13 frames of 5 beats), and of
/// one electrode packet (a superframe of 12 sets).
inline constexpr uint32_t WORDS_PER_SET = FRAMES_PER_GROUP * BEATS_PER_FRAME;
inline constexpr uint32_t WORDS_PER_PACKET = WORDS_PER_SET * SUPERFRAME_SIZE;

/// One LFP sample of every channel (raw 10-bit codes by channel).
struct LPData {
    uint64_t timestamp;  // stream timestamp of the word that completed the set
    uint16_t samples[CHANNEL_COUNT];
};

class PELIONP_API FrameDecoder {
public:
    using APCallback = std23::move_only_function<void(const APData&)>;
    using LFPCallback = std23::move_only_function<void(const LPData&)>;

    /// Throws std::invalid_argument if a callback is empty.
    FrameDecoder(APCallback on_ap, LFPCallback on_lfp);

    /// Back to the initial, unsynchronised state; clears both sets.
    void reset();
    /// One beat: the 14 payload bytes of a stream word and its timestamp.
    void decode(uint64_t timestamp, const uint8_t* payload);
    /// `decode` for every word of a list, in order, with the payloads read in
    /// place from `buffer` (the words' offsets are into it).
    void decode_words(std::span<const demux::SIDWord> words, const uint8_t* buffer);

    [[nodiscard]] bool synced() const { return synced_; }
    [[nodiscard]] int64_t frame_counter() const { return frame_counter_; }
    [[nodiscard]] int64_t mismatch_count() const { return mismatch_count_; }
    [[nodiscard]] uint32_t drops() const { return drops_; }

private:
    using Beat = std::array<uint16_t, 7>;  // w0..w6

    static Beat load_beat(const uint8_t* payload) noexcept;
    static bool has_marker(const Beat& w) noexcept { return (w[0] & SYNC_MARKER_MASK) == SYNC_MARKER; }
    uint16_t* frame_samples() noexcept;
    template <int B>
    void store_beat(uint16_t* samples, const Beat& w) noexcept;
    void decode_one(uint64_t timestamp, const uint8_t* payload);
    [[gnu::cold]] void sync_failed(const uint8_t* payload);
    void complete_frame(uint64_t timestamp);
    void adopt_after_sync(uint32_t number);
    // Derives the current frame's position in its group and superframe from
    // frame_counter_, and where its samples go.
    void place_frame();
    void check_frame_number();
    // Sync is lost: the words of the set under assembly are lost with it.
    void lose_set_words() noexcept {
        sync_lost_words_ += set_words_;
        set_words_ = 0;
    }

    APCallback on_ap_;
    LFPCallback on_lfp_;
    // The sets under assembly live inside the records that carry them out,
    // so a publication is one copy.
    APData ap_{};   // ap_.samples is the AP set
    LPData lfp_{};  // lfp_.samples is the LFP set
    int64_t frame_counter_ = 0;
    // The count before the last sync marker: the first frame after it takes
    // the first count from here on that carries its 20-bit number.
    int64_t count_before_sync_ = 0;
    bool synced_ = false;
    bool first_frame_ = false;
    int32_t beat_ = 0;
    uint16_t frame_values_[VALUES_PER_FRAME]{};  // only 32..34 are kept: the samples go to their set at once
    int32_t group_frame_ = 0;                     // frame_counter_ mod 13
    int32_t group_index_ = 0;                     // (frame_counter_ div 13) mod 12
    int32_t frame_channel_ = 0;                   // channel of the current frame's sample 0
    int32_t last_group_index_ = -1;
    bool group_continuous_ = false;
    int64_t mismatch_count_ = 0;
    uint32_t drops_ = 0;
    uint32_t set_words_ = 0;        // words taken into the set under assembly
    uint32_t sync_lost_words_ = 0;  // words lost to sync since the last set
};

}  // namespace pelionp::NP1
