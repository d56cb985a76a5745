#pragma once
// In-memory configuration images of a Neuropixels 2.0 probe and their
// serialisation into shift-register chain images. Plain values, no I/O.
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>

#include "pelionp/export.h"

namespace pelionp::NP2 {

inline constexpr std::size_t PROBE_CHANNEL_COUNT = 384;
/// Electrodes per shank.
inline constexpr std::size_t ELECTRODE_COUNT = 1280;
inline constexpr std::size_t MAX_SHANK_COUNT = 4;
inline constexpr uint8_t BANK_COUNT = 4;
/// Bank value of `selectElectrode` that disconnects a channel.
inline constexpr uint8_t BANK_DISCONNECT = 255;

/// Bytes of one base chain image (192 channels, 4 bits each).
inline constexpr std::size_t BASE_BLOCK_SIZE = 96;
/// Bytes of a shank chain image (1288 bits).
inline constexpr std::size_t SHANK_IMAGE_SIZE = 161;

/// Per-channel part of the base chains.
struct ChannelConfig {
    uint8_t standby = 0;    ///< 0 or 1
    uint8_t reference = 0;  ///< reference code 0, 1 or 2

    friend bool operator==(const ChannelConfig&, const ChannelConfig&) = default;
};

/// Shank reference switch selector values.
inline constexpr uint8_t SHANK_SWITCH_NONE = 0;
inline constexpr uint8_t SHANK_SWITCH_TIP = 1;
inline constexpr uint8_t SHANK_SWITCH_EXTERNAL = 2;

/// One shank chain: which electrodes are connected and which reference
/// switches are closed.
struct ShankConfig {
    std::bitset<ELECTRODE_COUNT> electrodes;  ///< bit set = electrode connected
    uint8_t reference = SHANK_SWITCH_NONE;    ///< SHANK_SWITCH_*

    friend bool operator==(const ShankConfig&, const ShankConfig&) = default;
};

using ChannelConfigs = std::array<ChannelConfig, PROBE_CHANNEL_COUNT>;
/// Base chain images: [0] even channels (chain 0x17), [1] odd channels (chain 0x16).
using BaseImages = std::array<std::array<uint8_t, BASE_BLOCK_SIZE>, 2>;
using ShankImage = std::array<uint8_t, SHANK_IMAGE_SIZE>;

/// Base chain images. Throws std::runtime_error("Unknown base config
/// reference type") for a reference code other than 0, 1, 2.
PELIONP_API BaseImages serialize_for_sr(const ChannelConfigs& channels);

/// Shank chain image, bit positions numbered most significant bit first.
PELIONP_API ShankImage serialize_for_sr(const ShankConfig& shank);

}  // namespace pelionp::NP2
