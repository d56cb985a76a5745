#include "pelionp/decoders/np1_frame_decoder.h"

#include <array>
#include <stdexcept>

#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP1 {

namespace {

constexpr uint32_t FRAME_NUMBER_MASK = 0xFFFFF;  // 20 bits

// Channel of value position i (0..31) in AP frame g (1..12), relative to
// channel 2 (g - 1); the LFP frame of group s uses the same pattern relative
// to channel 2 s.
constexpr int channel_of(int i) { return 24 * (i / 2) + (i % 2); }

// Beat b carries positions 5k + b; words 0..5 always land on samples.
constexpr auto SAMPLE_OFFSETS = [] {
    std::array<std::array<uint16_t, 6>, BEATS_PER_FRAME> table{};
    for (int b = 0; b < BEATS_PER_FRAME; ++b) {
        for (int k = 0; k < 6; ++k) {
            table[b][k] = static_cast<uint16_t>(channel_of(BEATS_PER_FRAME * k + b));
        }
    }
    return table;
}();

}  // namespace

FrameDecoder::FrameDecoder(APCallback on_ap, LFPCallback on_lfp)
    : on_ap_(std::move(on_ap)), on_lfp_(std::move(on_lfp)) {
    if (!on_ap_ || !on_lfp_) {
        throw std::invalid_argument("NP1 decoder callbacks must not be empty");
    }
}

void FrameDecoder::reset() {
    ap_ = {};
    lfp_ = {};
    frame_counter_ = 0;
    synced_ = false;
    first_frame_ = false;
    beat_ = 0;
    std::ranges::fill(frame_values_, uint16_t{0});
    last_group_index_ = -1;
    group_continuous_ = false;
    mismatch_count_ = 0;
    drops_ = 0;
    place_frame();
}

void FrameDecoder::place_frame() {
    group_frame_ = static_cast<int32_t>(frame_counter_ % FRAMES_PER_GROUP);
    group_index_ = static_cast<int32_t>((frame_counter_ / FRAMES_PER_GROUP) % SUPERFRAME_SIZE);
    frame_channel_ = group_frame_ != 0 ? 2 * (group_frame_ - 1) : 2 * group_index_;
}

void FrameDecoder::decode(uint64_t timestamp, const uint8_t* payload) { decode_one(timestamp, payload); }

void FrameDecoder::decode_words(std::span<const demux::SIDWord> words, const uint8_t* buffer) {
    for (const auto& [timestamp, offset] : words) {
        decode_one(timestamp, buffer + offset + demux::STREAM_PAYLOAD_OFFSET);
    }
}

inline void FrameDecoder::decode_one(uint64_t timestamp, const uint8_t* payload) {
    std::array<uint16_t, 7> w;
    for (int k = 0; k < 7; ++k) {
        w[k] = static_cast<uint16_t>(payload[2 * k] | (payload[2 * k + 1] << 8));
    }
    const bool marker = (w[0] & SYNC_MARKER_MASK) == SYNC_MARKER;

    if (!synced_) [[unlikely]] {
        if (!marker) {
            spdlog::trace("Sync failed at frame {}, beat {}, row:{:02X}", frame_counter_, beat_, fmt::join(w, ","));
            ++drops_;
            return;
        }
        synced_ = true;
        beat_ = 0;
        frame_counter_ = 0;
        last_group_index_ = -1;
        group_continuous_ = false;
        first_frame_ = true;
        place_frame();
        spdlog::info("NP1 decoder synced, {} drops", drops_);
        drops_ = 0;
    } else if (beat_ == 0 && group_frame_ == 0 && !marker) [[unlikely]] {
        spdlog::warn("Lost sync at frame {}, beat {}", frame_counter_, beat_);
        synced_ = false;
        return;
    }

    // NB: samples go straight to their channels in the AP or LFP set. A
    // frame, once begun, always completes (sync is only lost at a frame's
    // first beat or at its end), so the sets read exactly as if the frame
    // had been copied over whole at its end.
    uint16_t* samples = (group_frame_ != 0 ? ap_.samples : lfp_.samples) + frame_channel_;
    const auto& offsets = SAMPLE_OFFSETS[beat_];
    for (int k = 0; k < 6; ++k) {
        samples[offsets[k]] = w[k] & 0x3FF;
    }
    if (beat_ < 2) {
        samples[channel_of(30 + beat_)] = w[6] & 0x3FF;
    } else {
        frame_values_[30 + beat_] = w[6] & 0x3FF;  // 32 unused, 33 and 34 the frame number
    }
    if (++beat_ < BEATS_PER_FRAME) {
        return;
    }
    beat_ = 0;
    complete_frame(timestamp);
}

void FrameDecoder::complete_frame(uint64_t timestamp) {
    const int g = group_frame_;
    const int s = group_index_;
    if (g == FRAMES_PER_GROUP - 1) {
        if (s == 0) {
            group_continuous_ = true;
        } else if (last_group_index_ + 1 != s) {
            group_continuous_ = false;
        }
        last_group_index_ = s;
        ap_.timestamp = timestamp;
        ap_.index = static_cast<uint8_t>(s);
        ap_.complete = group_continuous_;
        on_ap_(ap_);
    } else if (g == 0 && s == SUPERFRAME_SIZE - 1) {
        lfp_.timestamp = timestamp;
        on_lfp_(lfp_);
    }
    check_frame_number();
    place_frame();
}

void FrameDecoder::check_frame_number() {
    const uint32_t number = (uint32_t{frame_values_[33]} << 10) | frame_values_[34];
    if ((static_cast<uint64_t>(frame_counter_) & FRAME_NUMBER_MASK) == number) {
        if (mismatch_count_ > 0) {
            spdlog::info("publish_adc_data : Frame_number continuity recovered after {} consecutive mismatches",
                         mismatch_count_);
            mismatch_count_ = 0;
        }
        ++frame_counter_;
    } else {
        if (!first_frame_) {
            if (mismatch_count_ == 0) {
                spdlog::warn(
                    "publish_adc_data : Frame_number continuity failed, current counter : {}, previous counter : {}",
                    number, frame_counter_);
            }
            if (++mismatch_count_ >= FORCED_RESYNC_MISMATCHES) {
                spdlog::warn("publish_adc_data : {} consecutive frame continuity failures, forcing resync",
                             mismatch_count_);
                synced_ = false;
                mismatch_count_ = 0;
            }
        }
        frame_counter_ = int64_t{number} + 1;
        last_group_index_ = -1;
    }
    first_frame_ = false;
}

}  // namespace pelionp::NP1
