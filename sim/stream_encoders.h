#pragma once
// Stream encoders: known content in, device stream words out, exactly as the
// board's stream producer lays them on the wire. Written from the wire formats
// alone (no code shared with the library's decoders), so that a round trip
// through the library checks both sides.
//
// Stream word (16 bytes): byte 0 = 0xD preamble (high nibble) | SID (low
// nibble), byte 1 = per-SID 8-bit row counter, bytes 2..15 = payload.
//
// Every encoder appends whole words to a caller's byte vector and keeps its
// own SID's row counter. Fault knobs change what the next words carry, so a
// test (or the simulated board) can inject exactly one defect.
//
// Threading contract: none; an encoder belongs to one thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "sim/stream_source.h"  // TIMESTAMP_SID, IO_SID

namespace pelionp::sim {

inline constexpr std::size_t STREAM_WORD_BYTES = 16;
inline constexpr std::size_t STREAM_PAYLOAD_BYTES = 14;
inline constexpr uint8_t STREAM_PREAMBLE = 0xD;
inline constexpr int PROBE_CHANNELS = 384;

using Payload = std::array<uint8_t, STREAM_PAYLOAD_BYTES>;

/// Frames payloads of one SID into stream words.
class WordFramer {
public:
    explicit WordFramer(uint8_t sid, uint8_t first_row_counter = 0);

    void append(std::vector<uint8_t>& out, const Payload& payload);
    /// Writes bytes 0 and 1 of a word already in place (a cached word being
    /// sent again) and counts it.
    void stamp(uint8_t* word);

    [[nodiscard]] uint8_t sid() const { return sid_; }
    [[nodiscard]] uint8_t next_row_counter() const { return row_counter_; }

    /// Fault: the counter jumps by `delta` before the next word (the device
    /// lost words of this SID).
    void jump_row_counter(uint8_t delta) { row_counter_ = static_cast<uint8_t>(row_counter_ + delta); }
    /// Fault: the next word carries `nibble` instead of the 0xD preamble.
    void corrupt_next_preamble(uint8_t nibble) { preamble_override_ = static_cast<uint8_t>(nibble & 0x0F); }
    [[nodiscard]] bool fault_armed() const { return preamble_override_.has_value(); }

private:
    uint8_t sid_;
    uint8_t row_counter_;
    std::optional<uint8_t> preamble_override_;
};

/// A stream that yields one word at a time, for interleaving.
class WordSource {
public:
    virtual ~WordSource() = default;
    virtual void append_word(std::vector<uint8_t>& out) = 0;
    /// Words this stream sends per sample tick (1/30000 s) on a real board.
    [[nodiscard]] virtual std::size_t words_per_tick() const = 0;
};

/// SID 4: bytes 2..9 hold a little-endian 64-bit timestamp.
class TimestampEncoder {
public:
    explicit TimestampEncoder(uint64_t first = 0, uint64_t step = 1);

    /// Appends the next timestamp (then advances by `step`).
    void append(std::vector<uint8_t>& out);
    /// Appends `timestamp`; the next one follows it by `step`.
    void append(std::vector<uint8_t>& out, uint64_t timestamp);
    [[nodiscard]] uint64_t next() const { return next_; }
    WordFramer& framer() { return framer_; }

private:
    WordFramer framer_;
    uint64_t next_;
    uint64_t step_;
};

// --- Neuropixels 1.0 -------------------------------------------------------

/// Sample content of an NP1 stream: 10-bit codes. `ap(group, channel)` for the
/// absolute frame group (one AP sample of every channel per group),
/// `lfp(superframe, channel)` for the absolute superframe of 12 groups.
struct NP1Samples {
    std::function<uint16_t(uint64_t group, int channel)> ap;
    std::function<uint16_t(uint64_t superframe, int channel)> lfp;
};

/// NP1 stream: frames of 5 beats (35 ten-bit values: 32 samples, one unused,
/// frame number high/low in 33/34), 13 frames a group (frame 0 LFP, 1..12
/// AP), 12 groups a superframe; sync marker 00011 in w0 bits 15..11 of beat 0
/// of every group's LFP frame.
class NP1Encoder final : public WordSource {
public:
    static constexpr int BEATS_PER_FRAME = 5;
    static constexpr int FRAMES_PER_GROUP = 13;
    static constexpr int GROUPS_PER_SUPERFRAME = 12;
    static constexpr uint32_t FRAME_NUMBER_MASK = 0xFFFFF;

    /// `first_frame` is the absolute frame index of the first frame sent; its
    /// group position is first_frame mod 13 and its number first_frame mod 2^20.
    NP1Encoder(uint8_t sid, NP1Samples samples, uint64_t first_frame = 0);

    /// One beat.
    void append_word(std::vector<uint8_t>& out) override;
    [[nodiscard]] std::size_t words_per_tick() const override { return FRAMES_PER_GROUP * BEATS_PER_FRAME; }

    void append_beats(std::vector<uint8_t>& out, std::size_t count);
    /// Appends beats until `count` frames have ended (a frame under way
    /// counts as the first). Groups and superframes likewise end at their
    /// boundaries.
    void append_frames(std::vector<uint8_t>& out, std::size_t count);
    void append_groups(std::vector<uint8_t>& out, std::size_t count);
    void append_superframes(std::vector<uint8_t>& out, std::size_t count);

    /// Wire bytes of a group's twelve AP frames.
    static constexpr std::size_t AP_FRAMES_BYTES = (FRAMES_PER_GROUP - 1) * BEATS_PER_FRAME * STREAM_WORD_BYTES;
    /// Sends a group's twelve AP frames from `words`: what an encoder sent for
    /// them earlier, without faults (a cached copy). The samples are taken as
    /// they are; frame numbers and word framing are this encoder's. Appends
    /// nothing and returns false unless the encoder stands at the start of a
    /// group's first AP frame with no fault armed; the caller then sends them
    /// from samples.
    bool append_encoded_ap_frames(std::vector<uint8_t>& out, std::span<const uint8_t, AP_FRAMES_BYTES> words);

    /// Absolute index of the frame being sent and the next beat of it.
    [[nodiscard]] uint64_t frame_index() const { return frame_; }
    [[nodiscard]] int beat() const { return beat_; }
    WordFramer& framer() { return framer_; }

    // Faults. They take effect at the next frame boundary (a frame already
    // under way is sent as it began).
    /// The next `count` frames are never sent; the device's count runs on.
    void skip_frames(uint64_t count) { skip_ += count; }
    /// The next frame carries `number` instead of its own.
    void override_next_frame_number(uint32_t number) { number_override_ = number & FRAME_NUMBER_MASK; }
    /// The next LFP frame's beat 0 lacks the sync marker.
    void omit_next_sync_marker() { omit_marker_ = true; }

private:
    void start_frame();

    WordFramer framer_;
    NP1Samples samples_;
    uint64_t frame_;
    int beat_ = 0;
    bool frame_ready_ = false;
    uint16_t values_[BEATS_PER_FRAME * 7]{};
    bool marker_ = false;
    uint64_t skip_ = 0;
    std::optional<uint32_t> number_override_;
    bool omit_marker_ = false;
};

// --- Neuropixels 2.0 -------------------------------------------------------

/// Sample content of an NP2 stream: 12-bit codes, `ap(superframe, channel)`.
struct NP2Samples {
    std::function<uint16_t(uint64_t superframe, int channel)> ap;
};

/// NP2 stream: rows of three subrows (ID in payload byte 0 bits 7..4, nine
/// 12-bit values MSB first in the remaining 108 bits). Subrow 1 is the header
/// (byte 0 bit 0 superframe start, bytes 1..2 = 0x66 0x99, byte 3 row group
/// counter, byte 4 lost-sync counter) with six samples in values 3..8. Row r
/// sample i is channel 32 (i div 2) + 2 r + (i mod 2); 16 rows a superframe.
class NP2Encoder final : public WordSource {
public:
    static constexpr int ROWS_PER_SUPERFRAME = 16;
    static constexpr int SUBROWS_PER_ROW = 3;

    NP2Encoder(uint8_t sid, NP2Samples samples, uint64_t first_superframe = 0, uint8_t first_row_group = 0);

    /// One subrow.
    void append_word(std::vector<uint8_t>& out) override;
    [[nodiscard]] std::size_t words_per_tick() const override { return ROWS_PER_SUPERFRAME * SUBROWS_PER_ROW; }

    void append_subrows(std::vector<uint8_t>& out, std::size_t count);
    void append_rows(std::vector<uint8_t>& out, std::size_t count);
    void append_superframes(std::vector<uint8_t>& out, std::size_t count);

    /// Wire bytes of one superframe.
    static constexpr std::size_t SUPERFRAME_BYTES = ROWS_PER_SUPERFRAME * SUBROWS_PER_ROW * STREAM_WORD_BYTES;
    /// Sends one superframe from `words`: what an encoder sent for it
    /// earlier, without faults (a cached copy). Samples, subrow IDs and the
    /// superframe flag are taken as they are; word framing, row group and
    /// lost-sync counters are this encoder's. Appends nothing and returns
    /// false unless the encoder stands at a superframe start with no fault
    /// armed; the caller then sends it from samples.
    bool append_encoded_superframe(std::vector<uint8_t>& out, std::span<const uint8_t, SUPERFRAME_BYTES> words);

    [[nodiscard]] uint64_t superframe() const { return superframe_; }
    [[nodiscard]] int row() const { return row_; }
    /// The subrow sent next, 1..3.
    [[nodiscard]] int next_subrow() const { return subrow_ + 1; }
    WordFramer& framer() { return framer_; }

    // Faults, for the next header (or subrow) sent.
    /// The next subrow with this ID (1..3) is not sent.
    void drop_next_subrow(int id) { drop_mask_ |= 1u << id; }
    /// The next subrow is sent with this ID instead of its own.
    void override_next_subrow_id(uint8_t id) { id_override_ = static_cast<uint8_t>(id & 0x0F); }
    /// The next header carries these bytes instead of 0x66 0x99.
    void corrupt_next_preamble(uint8_t b1, uint8_t b2) { preamble_override_ = {b1, b2}; }
    /// The row group counter jumps by `delta` before the next header.
    void jump_row_group_counter(uint8_t delta) { row_group_ = static_cast<uint8_t>(row_group_ + delta); }
    /// Headers from now on carry this lost-sync counter.
    void set_lost_sync_counter(uint8_t value) { lost_sync_ = value; }
    /// The next superframe-start header lacks its flag.
    void clear_next_superframe_flag() { clear_flag_ = true; }
    /// The next header sets the superframe-start flag whatever its row.
    void force_next_superframe_flag() { force_flag_ = true; }

private:
    WordFramer framer_;
    NP2Samples samples_;
    uint64_t superframe_;
    int row_ = 0;
    int subrow_ = 0;
    uint8_t row_group_;
    uint8_t lost_sync_ = 0;
    unsigned drop_mask_ = 0;
    std::optional<uint8_t> id_override_;
    std::optional<std::array<uint8_t, 2>> preamble_override_;
    bool clear_flag_ = false;
    bool force_flag_ = false;
    std::array<uint16_t, PROBE_CHANNELS> current_{};
    uint64_t loaded_superframe_ = UINT64_MAX;
};

// --- IO frames ---------------------------------------------------------------

/// One IO frame as the board sends it over six words.
struct IOFrameContent {
    uint64_t value_u64 = 0;
    std::array<uint32_t, 2> values_u32{};
    std::array<uint16_t, 16> values_u16{};
};

/// SID 5: six words per frame with indices 1..6 in payload byte 0 and eight
/// data bytes in payload bytes 6..13 (1: u64; 2: two u32; 3..6: four u16
/// each, little-endian). Payload bytes 1..5 carry filler.
class IOEncoder final : public WordSource {
public:
    explicit IOEncoder(std::function<IOFrameContent(uint64_t frame)> source, uint8_t filler = 0xA5);

    void append_word(std::vector<uint8_t>& out) override;
    [[nodiscard]] std::size_t words_per_tick() const override { return 6; }
    void append_frames(std::vector<uint8_t>& out, std::size_t count);
    /// Appends words until the next one to send has `index` (1..6).
    void append_words_until_index(std::vector<uint8_t>& out, int index);

    [[nodiscard]] uint64_t frame() const { return frame_; }
    /// The index sent next, 1..6.
    [[nodiscard]] int next_index() const { return index_; }
    WordFramer& framer() { return framer_; }

    /// Fault: the next word is not sent.
    void skip_next_word() { skip_ = true; }
    /// Fault: the next word carries this index.
    void override_next_index(uint8_t index) { index_override_ = index; }

private:
    WordFramer framer_;
    std::function<IOFrameContent(uint64_t)> source_;
    uint8_t filler_;
    uint64_t frame_ = 0;
    int index_ = 1;
    IOFrameContent content_;
    bool skip_ = false;
    std::optional<uint8_t> index_override_;
};

// --- The board's interleaving --------------------------------------------------

/// The timestamp of the latest SID-4 word in `out` (0 if there is none). The
/// board puts each tick's timestamp word ahead of that tick's streams, so a
/// StreamSource finds the timestamp of the tick it is asked for this way.
[[nodiscard]] uint64_t latest_timestamp(const std::vector<uint8_t>& out);

/// Lays out ticks as the board sends them: one timestamp word, then each
/// source's words for the tick, interleaved word by word. Holds references:
/// the encoders must outlive it.
class StreamInterleaver {
public:
    explicit StreamInterleaver(TimestampEncoder& timestamps) : timestamps_(timestamps) {}
    void add(WordSource& source) { sources_.push_back(&source); }
    void append_tick(std::vector<uint8_t>& out);
    void append_ticks(std::vector<uint8_t>& out, std::size_t count);

private:
    TimestampEncoder& timestamps_;
    std::vector<WordSource*> sources_;
};

}  // namespace pelionp::sim
