#pragma once
// One Neuropixels 1.0 superframe as the host receives it: twelve AP samples
// and one LFP sample per channel, gain-corrected.
#include <cstdint>
#include <type_traits>

namespace pelionp {

struct electrodePacket {
    static constexpr int SUPERFRAME_SIZE = 12;  // NP1::Probe::PROBE_SUPERFRAMESIZE
    static constexpr int CHANNEL_COUNT = 384;   // NP1::Probe::PROBE_CHANNEL_COUNT

    uint64_t timestamps[SUPERFRAME_SIZE];
    int16_t ap[SUPERFRAME_SIZE][CHANNEL_COUNT];
    int16_t lfp[CHANNEL_COUNT];
    uint8_t tail[24];  // zero, never written; keeps the host-visible record size
};

static_assert(std::is_trivially_copyable_v<electrodePacket>);
static_assert(sizeof(electrodePacket) == 8 * 12 + 2 * 12 * 384 + 2 * 384 + 24);

}  // namespace pelionp
