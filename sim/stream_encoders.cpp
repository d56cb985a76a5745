#include "sim/stream_encoders.h"

#include <algorithm>
#include <stdexcept>

namespace pelionp::sim {

namespace {

void put_le(uint8_t* p, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Writes a 12-bit value MSB first at bit position `bit` of the payload (bit 0
// is the MSB of byte 0).
void put12(Payload& payload, int bit, uint16_t value) {
    const auto at = static_cast<std::size_t>(bit / 8);
    if (bit % 8 == 0) {  // the NP2 layout puts every value on a nibble
        payload[at] = static_cast<uint8_t>(payload[at] | (value >> 4));
        payload[at + 1] = static_cast<uint8_t>(payload[at + 1] | ((value & 0xF) << 4));
        return;
    }
    if (bit % 8 == 4) {
        payload[at] = static_cast<uint8_t>(payload[at] | ((value >> 8) & 0xF));
        payload[at + 1] = static_cast<uint8_t>(payload[at + 1] | (value & 0xFF));
        return;
    }
    for (int j = 0; j < 12; ++j) {
        const int pos = bit + j;
        if ((value >> (11 - j)) & 1u) {
            payload[pos / 8] = static_cast<uint8_t>(payload[pos / 8] | (0x80u >> (pos % 8)));
        }
    }
}

}  // namespace

// --- WordFramer ---------------------------------------------------------------

WordFramer::WordFramer(uint8_t sid, uint8_t first_row_counter) : sid_(sid), row_counter_(first_row_counter) {
    if (sid > 15) {
        throw std::invalid_argument("stream word SID must be 0..15");
    }
}

void WordFramer::append(std::vector<uint8_t>& out, const Payload& payload) {
    const uint8_t preamble = preamble_override_.value_or(STREAM_PREAMBLE);
    preamble_override_.reset();
    out.push_back(static_cast<uint8_t>((preamble << 4) | sid_));
    out.push_back(row_counter_++);
    out.insert(out.end(), payload.begin(), payload.end());
}

void WordFramer::stamp(uint8_t* word) {
    const uint8_t preamble = preamble_override_.value_or(STREAM_PREAMBLE);
    preamble_override_.reset();
    word[0] = static_cast<uint8_t>((preamble << 4) | sid_);
    word[1] = row_counter_++;
}

// --- TimestampEncoder -----------------------------------------------------------

TimestampEncoder::TimestampEncoder(uint64_t first, uint64_t step) : framer_(TIMESTAMP_SID), next_(first), step_(step) {}

void TimestampEncoder::append(std::vector<uint8_t>& out) { append(out, next_); }

void TimestampEncoder::append(std::vector<uint8_t>& out, uint64_t timestamp) {
    Payload payload{};
    put_le(payload.data(), timestamp, 8);
    framer_.append(out, payload);
    next_ = timestamp + step_;
}

// --- NP1Encoder -----------------------------------------------------------------

NP1Encoder::NP1Encoder(uint8_t sid, NP1Samples samples, uint64_t first_frame)
    : framer_(sid), samples_(std::move(samples)), frame_(first_frame) {
    if (!samples_.ap || !samples_.lfp) {
        throw std::invalid_argument("NP1 encoder needs AP and LFP sample sources");
    }
}

void NP1Encoder::start_frame() {
    frame_ += skip_;
    skip_ = 0;
    const uint64_t group = frame_ / FRAMES_PER_GROUP;
    const int g = static_cast<int>(frame_ % FRAMES_PER_GROUP);
    for (int i = 0; i < 32; ++i) {
        // Value position i of frame g: column g - 1 of the AP set, or column
        // s of the LFP set for the group's LFP frame.
        const int column = g != 0 ? g - 1 : static_cast<int>(group % GROUPS_PER_SUPERFRAME);
        const int channel = 24 * (i / 2) + 2 * column + (i % 2);
        const uint16_t code = g != 0 ? samples_.ap(group, channel) : samples_.lfp(group / GROUPS_PER_SUPERFRAME, channel);
        values_[i] = code & 0x3FF;
    }
    values_[32] = 0;
    const uint32_t number = number_override_.value_or(static_cast<uint32_t>(frame_ & FRAME_NUMBER_MASK));
    number_override_.reset();
    values_[33] = static_cast<uint16_t>((number >> 10) & 0x3FF);
    values_[34] = static_cast<uint16_t>(number & 0x3FF);
    marker_ = g == 0 && !omit_marker_;
    if (g == 0) {
        omit_marker_ = false;
    }
    frame_ready_ = true;
}

void NP1Encoder::append_word(std::vector<uint8_t>& out) {
    if (!frame_ready_) {
        start_frame();
    }
    Payload payload{};
    for (int k = 0; k < 7; ++k) {
        uint16_t w = values_[BEATS_PER_FRAME * k + beat_];
        if (k == 0 && beat_ == 0 && marker_) {
            w = static_cast<uint16_t>(w | 0x1800);
        }
        put_le(payload.data() + 2 * k, w, 2);
    }
    framer_.append(out, payload);
    if (++beat_ == BEATS_PER_FRAME) {
        beat_ = 0;
        ++frame_;
        frame_ready_ = false;
    }
}

bool NP1Encoder::append_encoded_ap_frames(std::vector<uint8_t>& out,
                                          std::span<const uint8_t, AP_FRAMES_BYTES> words) {
    if (beat_ != 0 || frame_ready_ || frame_ % FRAMES_PER_GROUP != 1 || skip_ != 0 || number_override_ ||
        framer_.fault_armed()) {
        return false;
    }
    const std::size_t at = out.size();
    out.insert(out.end(), words.begin(), words.end());
    uint8_t* word = out.data() + at;
    for (int f = 0; f < FRAMES_PER_GROUP - 1; ++f, ++frame_) {
        // Values 33 and 34 (frame number high, low) are word 6 of beats 3 and 4.
        const auto number = static_cast<uint32_t>(frame_ & FRAME_NUMBER_MASK);
        put_le(word + 3 * STREAM_WORD_BYTES + 2 + 12, (number >> 10) & 0x3FF, 2);
        put_le(word + 4 * STREAM_WORD_BYTES + 2 + 12, number & 0x3FF, 2);
        for (int b = 0; b < BEATS_PER_FRAME; ++b, word += STREAM_WORD_BYTES) framer_.stamp(word);
    }
    return true;
}

void NP1Encoder::append_beats(std::vector<uint8_t>& out, std::size_t count) {
    while (count-- > 0) {
        append_word(out);
    }
}

void NP1Encoder::append_frames(std::vector<uint8_t>& out, std::size_t count) {
    while (count > 0) {
        append_word(out);
        if (beat_ == 0) {
            --count;
        }
    }
}

void NP1Encoder::append_groups(std::vector<uint8_t>& out, std::size_t count) {
    while (count > 0) {
        append_word(out);
        if (beat_ == 0 && frame_ % FRAMES_PER_GROUP == 0) {
            --count;
        }
    }
}

void NP1Encoder::append_superframes(std::vector<uint8_t>& out, std::size_t count) {
    while (count > 0) {
        append_word(out);
        if (beat_ == 0 && frame_ % (FRAMES_PER_GROUP * GROUPS_PER_SUPERFRAME) == 0) {
            --count;
        }
    }
}

// --- NP2Encoder -----------------------------------------------------------------

NP2Encoder::NP2Encoder(uint8_t sid, NP2Samples samples, uint64_t first_superframe, uint8_t first_row_group)
    : framer_(sid), samples_(std::move(samples)), superframe_(first_superframe), row_group_(first_row_group) {
    if (!samples_.ap) {
        throw std::invalid_argument("NP2 encoder needs a sample source");
    }
}

void NP2Encoder::append_word(std::vector<uint8_t>& out) {
    for (;;) {
        const int id = subrow_ + 1;
        const bool dropped = (drop_mask_ >> id) & 1u;
        drop_mask_ &= ~(1u << id);
        if (loaded_superframe_ != superframe_) {
            for (int c = 0; c < PROBE_CHANNELS; ++c) {
                current_[c] = samples_.ap(superframe_, c) & 0xFFF;
            }
            loaded_superframe_ = superframe_;
        }
        auto sample = [&](int i) { return current_[32 * (i / 2) + 2 * row_ + (i % 2)]; };

        Payload payload{};
        int first_sample = 0;
        int first_value = 0;
        if (id == 1) {
            bool flag = row_ == 0 && !clear_flag_;
            if (row_ == 0) {
                clear_flag_ = false;
            }
            flag = flag || force_flag_;
            force_flag_ = false;
            const auto preamble = preamble_override_.value_or(std::array<uint8_t, 2>{0x66, 0x99});
            preamble_override_.reset();
            payload[0] = flag ? 1 : 0;
            payload[1] = preamble[0];
            payload[2] = preamble[1];
            payload[3] = row_group_++;
            payload[4] = lost_sync_;
            first_value = 3;  // values 0..2 lie under the header bytes
        } else {
            first_sample = id == 2 ? 6 : 15;
        }
        for (int v = first_value; v < 9; ++v) {
            put12(payload, 4 + 12 * v, sample(first_sample + v - first_value));
        }
        payload[0] = static_cast<uint8_t>((id_override_.value_or(static_cast<uint8_t>(id)) << 4) | (payload[0] & 0x0F));
        if (!dropped) {
            id_override_.reset();
        }

        if (++subrow_ == SUBROWS_PER_ROW) {
            subrow_ = 0;
            if (++row_ == ROWS_PER_SUPERFRAME) {
                row_ = 0;
                ++superframe_;
            }
        }
        if (!dropped) {
            framer_.append(out, payload);
            return;
        }
    }
}

bool NP2Encoder::append_encoded_superframe(std::vector<uint8_t>& out,
                                           std::span<const uint8_t, SUPERFRAME_BYTES> words) {
    if (row_ != 0 || subrow_ != 0 || drop_mask_ != 0 || id_override_ || preamble_override_ || clear_flag_ ||
        force_flag_ || framer_.fault_armed()) {
        return false;
    }
    const std::size_t at = out.size();
    out.insert(out.end(), words.begin(), words.end());
    uint8_t* word = out.data() + at;
    for (int r = 0; r < ROWS_PER_SUPERFRAME; ++r) {
        word[2 + 3] = row_group_++;  // header payload bytes 3 and 4
        word[2 + 4] = lost_sync_;
        for (int s = 0; s < SUBROWS_PER_ROW; ++s, word += STREAM_WORD_BYTES) framer_.stamp(word);
    }
    ++superframe_;
    return true;
}

void NP2Encoder::append_subrows(std::vector<uint8_t>& out, std::size_t count) {
    while (count-- > 0) {
        append_word(out);
    }
}

void NP2Encoder::append_rows(std::vector<uint8_t>& out, std::size_t count) {
    while (count > 0) {
        append_word(out);
        if (subrow_ == 0) {
            --count;
        }
    }
}

void NP2Encoder::append_superframes(std::vector<uint8_t>& out, std::size_t count) {
    while (count > 0) {
        append_word(out);
        if (subrow_ == 0 && row_ == 0) {
            --count;
        }
    }
}

// --- IOEncoder ------------------------------------------------------------------

IOEncoder::IOEncoder(std::function<IOFrameContent(uint64_t)> source, uint8_t filler)
    : framer_(IO_SID), source_(std::move(source)), filler_(filler) {
    if (!source_) {
        throw std::invalid_argument("IO encoder needs a frame source");
    }
}

void IOEncoder::append_word(std::vector<uint8_t>& out) {
    for (;;) {
        if (index_ == 1) {
            content_ = source_(frame_);
        }
        Payload payload{};
        payload[0] = index_override_.value_or(static_cast<uint8_t>(index_));
        for (int i = 1; i <= 5; ++i) {
            payload[i] = filler_;
        }
        uint8_t* data = payload.data() + 6;
        switch (index_) {
            case 1:
                put_le(data, content_.value_u64, 8);
                break;
            case 2:
                put_le(data, content_.values_u32[0], 4);
                put_le(data + 4, content_.values_u32[1], 4);
                break;
            default:
                for (int k = 0; k < 4; ++k) {
                    put_le(data + 2 * k, content_.values_u16[4 * (index_ - 3) + k], 2);
                }
                break;
        }
        if (++index_ > 6) {
            index_ = 1;
            ++frame_;
        }
        if (skip_) {
            skip_ = false;
            continue;
        }
        index_override_.reset();
        framer_.append(out, payload);
        return;
    }
}

void IOEncoder::append_frames(std::vector<uint8_t>& out, std::size_t count) {
    while (count > 0) {
        append_word(out);
        if (index_ == 1) {
            --count;
        }
    }
}

void IOEncoder::append_words_until_index(std::vector<uint8_t>& out, int index) {
    if (index < 1 || index > 6) {
        throw std::invalid_argument("IO frame word index must be 1..6");
    }
    while (index_ != index) {
        append_word(out);
    }
}

// --- StreamInterleaver ------------------------------------------------------------

uint64_t latest_timestamp(const std::vector<uint8_t>& out) {
    for (std::size_t at = out.size() - out.size() % STREAM_WORD_BYTES; at >= STREAM_WORD_BYTES;
         at -= STREAM_WORD_BYTES) {
        const uint8_t* word = &out[at - STREAM_WORD_BYTES];
        if (word[0] == ((STREAM_PREAMBLE << 4) | TIMESTAMP_SID)) {
            uint64_t t = 0;
            for (int i = 0; i < 8; ++i) t |= static_cast<uint64_t>(word[2 + i]) << (8 * i);
            return t;
        }
    }
    return 0;
}

void StreamInterleaver::append_tick(std::vector<uint8_t>& out) {
    timestamps_.append(out);
    std::size_t most = 0;
    for (const auto* source : sources_) {
        most = std::max(most, source->words_per_tick());
    }
    for (std::size_t n = 0; n < most; ++n) {
        for (auto* source : sources_) {
            if (n < source->words_per_tick()) {
                source->append_word(out);
            }
        }
    }
}

void StreamInterleaver::append_ticks(std::vector<uint8_t>& out, std::size_t count) {
    while (count-- > 0) {
        append_tick(out);
    }
}

}  // namespace pelionp::sim
