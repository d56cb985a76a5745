#include "sim/probes/np1_source.h"

#include <algorithm>

#include "sim/probes/neural_signal.h"
#include "sim/probes/np1_probe.h"
#include "sim/probes/np1_signal.h"

namespace pelionp::sim {
namespace {

// One superframe: twelve frame groups, one a tick.
constexpr uint64_t NP1_SUPERFRAME_TICKS = 12;

}  // namespace

NP1ProbeSource::NP1ProbeSource(std::shared_ptr<const NP1ProbeChip> chip, uint64_t serial)
    : chip_(std::move(chip)),
      model_(NeuralSignal::of(SignalLayout::np1, serial)),
      encoder_(0, NP1Samples{.ap = [this](uint64_t, int c) { return ap(c); },
                             .lfp = [this](uint64_t, int c) { return lfp(encoder_.frame_index() / 13, c); }}) {}

uint16_t NP1ProbeSource::ap(int c) const {
    const auto i = static_cast<std::size_t>(c);
    if (map_->standby[i] || map_->electrode[i] < 0) return NP1_FLAT_CODE;
    return np1_ap_code(model_, map_->electrode[i], tick_);
}

uint16_t NP1ProbeSource::lfp(uint64_t group, int c) const {
    const auto i = static_cast<std::size_t>(c);
    if (map_->standby[i] || map_->electrode[i] < 0) return NP1_FLAT_CODE;
    const uint64_t first_tick = tick_ - group % 12;
    return np1_lfp_code(model_, map_->electrode[i], first_tick / 12);
}

void NP1ProbeSource::follow_chip() {
    auto map = chip_->channel_map();
    if (map == map_) return;
    // The chip makes a new map at every chain pass; the same selection
    // uploaded again keeps the cache.
    if (!map_ || map->electrode != map_->electrode || map->standby != map_->standby) cache_.invalidate();
    map_ = std::move(map);
}

std::span<const uint8_t, NP1Encoder::AP_FRAMES_BYTES> NP1ProbeSource::cached_ap_frames() {
    const uint64_t slot = tick_ % SIGNAL_PERIOD_TICKS;
    if (const auto words = cache_.find(slot); !words.empty()) return words.first<NP1Encoder::AP_FRAMES_BYTES>();
    // Made by an encoder of its own (no faults), from the same samples:
    // frame 1 of a group is its first AP frame.
    NP1Encoder maker(0, NP1Samples{.ap = [this](uint64_t, int c) { return ap(c); },
                                   .lfp = [](uint64_t, int) -> uint16_t { return 0; }},
                     1);
    std::vector<uint8_t> words;
    words.reserve(NP1Encoder::AP_FRAMES_BYTES);
    maker.append_frames(words, NP1Encoder::FRAMES_PER_GROUP - 1);
    const auto slot_bytes = cache_.fill(slot);
    std::copy(words.begin(), words.end(), slot_bytes.begin());
    return std::span<const uint8_t>(slot_bytes).first<NP1Encoder::AP_FRAMES_BYTES>();
}

void NP1ProbeSource::append_tick(uint8_t sid, std::vector<uint8_t>& out) {
    append_tick_at(sid, latest_timestamp(out), out);
}

void NP1ProbeSource::append_tick_at(uint8_t sid, uint64_t timestamp, std::vector<uint8_t>& out) {
    tick_ = timestamp;
    if (!started_) {
        if (timestamp % NP1_SUPERFRAME_TICKS != 0) return;
        started_ = true;
    }
    follow_chip();
    const uint64_t drop = drop_.exchange(0);
    if (drop != 0) encoder_.skip_frames(drop);
    if (break_sync_.exchange(false)) encoder_.omit_next_sync_marker();

    const std::size_t before = out.size();
    if (drop == 0 && encoder_.beat() == 0 && encoder_.frame_index() % NP1Encoder::FRAMES_PER_GROUP == 0) {
        encoder_.append_frames(out, 1);  // the LFP frame, from samples
        // The twelve AP frames from the cache, unless a fault stands in the
        // way; then the group is finished from samples.
        if (!encoder_.append_encoded_ap_frames(out, cached_ap_frames())) encoder_.append_groups(out, 1);
    } else {
        encoder_.append_groups(out, 1);
    }
    for (std::size_t at = before; at < out.size(); at += STREAM_WORD_BYTES) {
        out[at] = static_cast<uint8_t>((STREAM_PREAMBLE << 4) | sid);
        out[at + 1] = row_counters_[sid & 0x0F]++;
    }
}

}  // namespace pelionp::sim
