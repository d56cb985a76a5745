#pragma once
// Fixed chain contents of the shift-register self test. They exercise every
// nibble value and every shank bit pattern class without touching the
// probe's stored configuration.
#include <array>
#include <cstdint>

#include "pelionp/probes/np2/config.h"

namespace pelionp::NP2 {

/// Standby on even channels, reference code c mod 3.
inline ChannelConfigs bist_channel_pattern() {
    ChannelConfigs channels{};
    for (std::size_t c = 0; c < PROBE_CHANNEL_COUNT; ++c)
        channels[c] = ChannelConfig{static_cast<uint8_t>(c % 2 == 0), static_cast<uint8_t>(c % 3)};
    return channels;
}

/// Single shank: even electrodes connected, no reference switch.
inline ShankConfig bist_single_shank_pattern() {
    ShankConfig shank;
    for (std::size_t e = 0; e < ELECTRODE_COUNT; e += 2) shank.electrodes.set(e);
    return shank;
}

/// Four shanks: shank s connects electrode i when i mod (s + 2) = 0;
/// external switches on shank 0, tip switches on shank 1.
inline ShankConfig bist_four_shank_pattern(std::size_t s) {
    ShankConfig shank;
    for (std::size_t e = 0; e < ELECTRODE_COUNT; e += s + 2) shank.electrodes.set(e);
    shank.reference = s == 0 ? SHANK_SWITCH_EXTERNAL : s == 1 ? SHANK_SWITCH_TIP : SHANK_SWITCH_NONE;
    return shank;
}

}  // namespace pelionp::NP2
