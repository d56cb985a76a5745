#pragma once
// Reads the configuration a Neuropixels 1.0 probe holds back out of the
// bytes its three shift-register chains received, as the chip sees them:
// each byte arrives most significant bit first, so bit 0 of an image byte is
// bit 7 of the byte on the wire. Written from the chip's image layout, not
// from the library, so that a test compares two independent readings.
#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pelionp::sim {

namespace np1 {
inline constexpr int CHANNELS = 384;
inline constexpr int ELECTRODES = 960;
inline constexpr int ADCS = 32;
inline constexpr std::size_t SHANK_BYTES = 121;
inline constexpr std::size_t BASE_BYTES = 306;
}  // namespace np1

/// Channel reference as the one-hot switch of the base image selects it.
enum class NP1Reference : uint8_t { External = 0, Tip = 1, Internal = 2 };

struct NP1ChannelSettings {
    /// Empty when the three reference switches are not exactly one-hot.
    std::optional<NP1Reference> reference;
    uint8_t ap_gain = 0;   // 0..7
    uint8_t lfp_gain = 0;  // 0..7
    bool standby = false;
    bool ap_highpass = false;
    friend bool operator==(const NP1ChannelSettings&, const NP1ChannelSettings&) = default;
};

struct NP1AdcTrims {
    int comp_p = 0, comp_n = 0, slope = 0, fine = 0, coarse = 0, cfix = 0;
    friend bool operator==(const NP1AdcTrims&, const NP1AdcTrims&) = default;
};

struct NP1ShankState {
    std::bitset<np1::ELECTRODES> connected;
    std::array<bool, 2> external_reference{};  // shank bits 2 and 965
    std::array<bool, 2> tip_reference{};       // shank bits 483 and 484
    /// Internal reference electrodes 191/575/959 (banks 0/1/2); the same
    /// switches as those electrodes in `connected`.
    std::array<bool, 3> internal_reference{};
    /// Bits that no switch drives (0, 1, 966, 967) but that arrived set.
    bool stray_bits = false;

    /// Electrodes of a channel that are connected, lowest bank first.
    std::vector<int> electrodes_of(int channel) const;
};

struct NP1BaseState {
    std::array<NP1ChannelSettings, np1::CHANNELS> channels{};
    std::array<NP1AdcTrims, np1::ADCS> adcs{};
};

/// Undoes the wire's bit order.
std::vector<uint8_t> np1_unreverse(std::span<const uint8_t> wire);

/// `image` in image bit order (after np1_unreverse). Empty for a wrong size.
std::optional<NP1ShankState> np1_decode_shank(std::span<const uint8_t> image);
/// `image0` holds channels 0, 2, ..., 382 (chain 0x0D), `image1` channels
/// 1, 3, ..., 383 (chain 0x0C). Empty for a wrong size.
std::optional<NP1BaseState> np1_decode_base(std::span<const uint8_t> image0, std::span<const uint8_t> image1);

}  // namespace pelionp::sim
