#pragma once
// Electrode selection and reference setting on the in-memory configuration
// of a Neuropixels 2.0 probe. The probe variants forward their setters
// here; nothing reaches the probe until the chains are uploaded.
//
// Invalid arguments are reported with an error log and a false result, as
// the probe setters do.
#include <array>
#include <cstdint>
#include <optional>

#include "pelionp/export.h"
#include "pelionp/probes/np2/config.h"

namespace pelionp::NP2 {

/// `channelreference_t` values the NP2 probes accept.
inline constexpr uint8_t REF_EXT = 0;
inline constexpr uint8_t REF_TIP = 1;
inline constexpr uint8_t REF_LOCAL = 3;
inline constexpr uint8_t REF_NONE = 255;

/// What a reference value does: the channel's reference code (none: keep
/// it) and the shank's switch selector.
struct ReferenceEffect {
    std::optional<uint8_t> channel_code;
    uint8_t shank_switch;
};

/// Empty for a value the NP2 probes refuse (2 included).
/// The value is taken whole: one that only narrows to an accepted code
/// (259, 256, -1) is refused.
PELIONP_API std::optional<ReferenceEffect> reference_effect(int32_t channelreference) noexcept;

/// Single shank. Bank 255 disconnects the channel; `exclusive` first
/// disconnects the channel's electrodes in every bank. NB: when the
/// requested electrode does not exist, the exclusive disconnect has already
/// happened (the probe API behaves that way).
PELIONP_API bool select_electrode(ShankConfig& shank, uint16_t channel, uint8_t bank, bool exclusive);

/// Four shanks. `exclusive` disconnects the channel on every shank; bank
/// 255 without `exclusive` disconnects it on `shank` only.
PELIONP_API bool select_electrode(std::array<ShankConfig, MAX_SHANK_COUNT>& shanks, uint16_t channel,
                                  uint8_t shank, uint8_t bank, bool exclusive);

/// Single shank: sets the channel's reference code and the shank's switch
/// selector (the last call wins for the whole shank).
PELIONP_API bool set_reference(ChannelConfigs& channels, ShankConfig& shank, uint16_t channel,
                               int32_t channelreference);

/// Four shanks: as above, on shank `shank`'s selector.
PELIONP_API bool set_reference(ChannelConfigs& channels, std::array<ShankConfig, MAX_SHANK_COUNT>& shanks,
                               uint16_t channel, uint8_t shank, int32_t channelreference);

/// Channel standby flag.
PELIONP_API bool set_standby(ChannelConfigs& channels, uint16_t channel, bool on);

}  // namespace pelionp::NP2
