#include "sim/probes/np1_source.h"

#include "sim/probes/np1_probe.h"
#include "sim/probes/np1_signal.h"

namespace pelionp::sim {

NP1ProbeSource::NP1ProbeSource(std::shared_ptr<const NP1ProbeChip> chip, uint64_t serial)
    : chip_(std::move(chip)),
      serial_(serial),
      encoder_(0, NP1Samples{.ap = [this](uint64_t, int c) { return ap(c); },
                             .lfp = [this](uint64_t, int c) { return lfp(encoder_.frame_index() / 13, c); }}) {}

uint16_t NP1ProbeSource::ap(int c) const {
    const auto i = static_cast<std::size_t>(c);
    if (map_->standby[i] || map_->electrode[i] < 0) return NP1_FLAT_CODE;
    return np1_ap_code(serial_, map_->electrode[i], tick_);
}

uint16_t NP1ProbeSource::lfp(uint64_t group, int c) const {
    const auto i = static_cast<std::size_t>(c);
    if (map_->standby[i] || map_->electrode[i] < 0) return NP1_FLAT_CODE;
    const uint64_t first_tick = tick_ - group % 12;
    return np1_lfp_code(serial_, map_->electrode[i], first_tick / 12);
}

void NP1ProbeSource::append_tick(uint8_t sid, std::vector<uint8_t>& out) {
    tick_ = latest_timestamp(out);
    map_ = chip_->channel_map();
    if (const uint64_t drop = drop_.exchange(0)) encoder_.skip_frames(drop);
    if (break_sync_.exchange(false)) encoder_.omit_next_sync_marker();

    const std::size_t before = out.size();
    encoder_.append_groups(out, 1);
    for (std::size_t at = before; at < out.size(); at += STREAM_WORD_BYTES) {
        out[at] = static_cast<uint8_t>((STREAM_PREAMBLE << 4) | sid);
        out[at + 1] = row_counters_[sid & 0x0F]++;
    }
}

}  // namespace pelionp::sim
