#include "pelionp/decoders/np1_frame_decoder.h"

#include <array>
#include <stdexcept>

#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP1 {

namespace {

constexpr uint32_t FRAME_NUMBER_MASK = 0xFFFFF;  // 20 bits

// Channel of value position i in AP frame g (1..12) or in the LFP frame of
// group s (with s in place of g - 1).
constexpr int channel_of(int i, int column) { return 24 * (i / 2) + 2 * column + (i % 2); }

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
}

void FrameDecoder::decode(uint64_t timestamp, const uint8_t* payload) {
    std::array<uint16_t, 7> w;
    for (int k = 0; k < 7; ++k) {
        w[k] = static_cast<uint16_t>(payload[2 * k] | (payload[2 * k + 1] << 8));
    }
    const bool marker = (w[0] & SYNC_MARKER_MASK) == SYNC_MARKER;

    if (!synced_) {
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
        spdlog::info("NP1 decoder synced, {} drops", drops_);
        drops_ = 0;
    } else if (beat_ == 0 && frame_counter_ % FRAMES_PER_GROUP == 0 && !marker) {
        spdlog::warn("Lost sync at frame {}, beat {}", frame_counter_, beat_);
        synced_ = false;
        return;
    }

    for (int k = 0; k < 7; ++k) {
        frame_values_[BEATS_PER_FRAME * k + beat_] = w[k] & 0x3FF;
    }
    if (++beat_ < BEATS_PER_FRAME) {
        return;
    }
    beat_ = 0;
    complete_frame(timestamp);
}

void FrameDecoder::complete_frame(uint64_t timestamp) {
    const int g = static_cast<int>(frame_counter_ % FRAMES_PER_GROUP);
    const int s = static_cast<int>((frame_counter_ / FRAMES_PER_GROUP) % SUPERFRAME_SIZE);
    if (g != 0) {
        for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
            ap_.samples[channel_of(i, g - 1)] = frame_values_[i];
        }
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
        }
    } else {
        for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
            lfp_.samples[channel_of(i, s)] = frame_values_[i];
        }
        if (s == SUPERFRAME_SIZE - 1) {
            lfp_.timestamp = timestamp;
            on_lfp_(lfp_);
        }
    }
    check_frame_number();
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
