#include "pelionp/decoders/np1_frame_decoder.h"

#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP1 {

namespace {

constexpr uint32_t FRAME_NUMBER_MASK = 0xFFFFF;  // 20 bits

// Channel of value position i (0..31) in AP frame g (1..12), relative to
// channel 2 (g - 1); the LFP frame of group s uses the same pattern relative
// to channel 2 s.
constexpr int channel_of(int i) { return 24 * (i / 2) + (i % 2); }

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
    count_before_sync_ = 0;
    synced_ = false;
    first_frame_ = false;
    beat_ = 0;
    std::ranges::fill(frame_values_, uint16_t{0});
    last_group_index_ = -1;
    group_continuous_ = false;
    mismatch_count_ = 0;
    drops_ = 0;
    set_words_ = 0;
    sync_lost_words_ = 0;
    place_frame();
}

inline void FrameDecoder::place_frame() {
    group_frame_ = static_cast<int32_t>(frame_counter_ % FRAMES_PER_GROUP);
    group_index_ = static_cast<int32_t>((frame_counter_ / FRAMES_PER_GROUP) % SUPERFRAME_SIZE);
    frame_channel_ = group_frame_ != 0 ? 2 * (group_frame_ - 1) : 2 * group_index_;
}

void FrameDecoder::decode(uint64_t timestamp, const uint8_t* payload) { decode_one(timestamp, payload); }

void FrameDecoder::decode_words(std::span<const demux::SIDWord> words, const uint8_t* buffer) {
    const auto payload = [&](std::size_t i) { return buffer + words[i].second + demux::STREAM_PAYLOAD_OFFSET; };
    std::size_t i = 0;
    while (i < words.size()) {
        // A whole frame at once when it cannot be interrupted: synchronised,
        // at its first beat, with the marker where one is due.
        if (synced_ && beat_ == 0 && words.size() - i >= BEATS_PER_FRAME) {
            const Beat first = load_beat(payload(i));
            if (group_frame_ != 0 || has_marker(first)) {
                uint16_t* samples = frame_samples();
                store_beat<0>(samples, first);
                store_beat<1>(samples, load_beat(payload(i + 1)));
                store_beat<2>(samples, load_beat(payload(i + 2)));
                store_beat<3>(samples, load_beat(payload(i + 3)));
                store_beat<4>(samples, load_beat(payload(i + 4)));
                i += BEATS_PER_FRAME;
                set_words_ += BEATS_PER_FRAME;
                complete_frame(words[i - 1].first);
                continue;
            }
        }
        decode_one(words[i].first, payload(i));
        ++i;
    }
}

inline FrameDecoder::Beat FrameDecoder::load_beat(const uint8_t* payload) noexcept {
    Beat w;
    std::memcpy(w.data(), payload, sizeof w);
    if constexpr (std::endian::native == std::endian::big) {
        for (auto& word : w) {
            word = std::byteswap(word);
        }
    }
    return w;
}

inline uint16_t* FrameDecoder::frame_samples() noexcept {
    return (group_frame_ != 0 ? ap_.samples : lfp_.samples) + frame_channel_;
}

// NB: samples go straight to their channels in the AP or LFP set. A frame,
// once begun, always completes (sync is only lost at a frame's first beat or
// at its end), so the sets read exactly as if the frame had been copied over
// whole at its end.
template <int B>
inline void FrameDecoder::store_beat(uint16_t* samples, const Beat& w) noexcept {
    // Unrolled by the fold, so every offset is a constant.
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        ((samples[channel_of(BEATS_PER_FRAME * static_cast<int>(K) + B)] = w[K] & 0x3FF), ...);
    }(std::make_index_sequence<6>{});
    if constexpr (B < 2) {
        samples[channel_of(30 + B)] = w[6] & 0x3FF;
    } else {
        frame_values_[30 + B] = w[6] & 0x3FF;  // 32 unused, 33 and 34 the frame number
    }
}

inline void FrameDecoder::decode_one(uint64_t timestamp, const uint8_t* payload) {
    const Beat w = load_beat(payload);
    const bool marker = has_marker(w);

    if (!synced_) [[unlikely]] {
        if (!marker) {
            sync_failed(payload);
            return;
        }
        synced_ = true;
        beat_ = 0;
        count_before_sync_ = frame_counter_;
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
        lose_set_words();
        ++sync_lost_words_;
        return;
    }
    ++set_words_;

    uint16_t* samples = frame_samples();
    switch (beat_) {
        case 0:
            store_beat<0>(samples, w);
            break;
        case 1:
            store_beat<1>(samples, w);
            break;
        case 2:
            store_beat<2>(samples, w);
            break;
        case 3:
            store_beat<3>(samples, w);
            break;
        default:
            store_beat<4>(samples, w);
            break;
    }
    if (++beat_ < BEATS_PER_FRAME) {
        return;
    }
    beat_ = 0;
    complete_frame(timestamp);
}

void FrameDecoder::sync_failed(const uint8_t* payload) {
    spdlog::trace("Sync failed at frame {}, beat {}, row:{:02X}", frame_counter_, beat_,
                  fmt::join(load_beat(payload), ","));
    ++drops_;
    ++sync_lost_words_;
}

inline void FrameDecoder::complete_frame(uint64_t timestamp) {
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
        ap_.words = std::exchange(set_words_, 0);
        ap_.sync_lost_words = std::exchange(sync_lost_words_, 0);
        on_ap_(ap_);
    } else if (g == 0 && s == SUPERFRAME_SIZE - 1) {
        lfp_.timestamp = timestamp;
        on_lfp_(lfp_);
    }
    check_frame_number();
    place_frame();
}

inline void FrameDecoder::check_frame_number() {
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
                lose_set_words();
            }
        }
        if (first_frame_) {
            adopt_after_sync(number);
        } else {
            frame_counter_ = int64_t{number} + 1;
        }
        last_group_index_ = -1;
    }
    first_frame_ = false;
}

// NB: the device's number wraps at 2^20, which is no multiple of a group's
// 13 frames (nor of a superframe's 156), so once it has wrapped the number
// alone no longer tells a frame's place. The first frame after a marker is
// a group's frame 0: its count is the first one from the count before the
// sync on that carries the device's number (so a sync lost and found keeps
// the superframe's place too), moved on by whole 2^20 wraps until the next
// frame is the group's frame 1.
void FrameDecoder::adopt_after_sync(uint32_t number) {
    constexpr int64_t WRAP = int64_t{FRAME_NUMBER_MASK} + 1;
    int64_t count = count_before_sync_ + ((int64_t{number} - count_before_sync_) & FRAME_NUMBER_MASK);
    for (int k = 0; k < FRAMES_PER_GROUP && count % FRAMES_PER_GROUP != 0; ++k) count += WRAP;
    frame_counter_ = count + 1;
}

}  // namespace pelionp::NP1
