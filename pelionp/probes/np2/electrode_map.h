#pragma once
// Channel-to-electrode maps of the two Neuropixels 2.0 probe types. A
// channel reaches one electrode per bank; the result may lie beyond the
// shank (>= ELECTRODE_COUNT), which callers must refuse.
#include <array>
#include <cstdint>

#include "pelionp/probes/np2/config.h"

namespace pelionp::NP2 {

namespace detail {
// NB: bank 0 is the identity; the published all-zero bank-0 row would send
// a whole block of 32 channels to one electrode, so it reads {0, 1, 2, 3}
// with step 4 here.
inline constexpr std::array<std::array<uint8_t, 4>, 4> SINGLE_SHANK_A{{
    {0, 1, 2, 3},
    {0, 9, 14, 23},
    {0, 17, 26, 11},
    {0, 25, 22, 15},
}};
inline constexpr std::array<uint8_t, 4> SINGLE_SHANK_B{4, 28, 20, 12};

inline constexpr std::array<std::array<uint8_t, 8>, 4> FOUR_SHANK_M{{
    {0, 6, 1, 7, 2, 4, 3, 5},
    {6, 0, 7, 1, 4, 2, 5, 3},
    {2, 4, 3, 5, 0, 6, 1, 7},
    {4, 2, 5, 3, 6, 0, 7, 1},
}};
}  // namespace detail

/// Single shank: within each block of 32 channels every bank permutes the
/// block's 32 electrodes. Requires channel < 384, bank < 4.
constexpr uint32_t single_shank_electrode(uint32_t channel, uint32_t bank) noexcept {
    const uint32_t in_block =
        (detail::SINGLE_SHANK_A[bank][channel % 4] + ((channel % 32) / 4) * detail::SINGLE_SHANK_B[bank]) % 32;
    return 384 * bank + 32 * (channel / 32) + in_block;
}

/// Four shanks: each group of 48 channels reaches one block of 48
/// electrodes per bank. Requires channel < 384, shank < 4, bank < 4.
constexpr uint32_t four_shank_electrode(uint32_t channel, uint32_t shank, uint32_t bank) noexcept {
    return 48 * (detail::FOUR_SHANK_M[shank][channel / 48] + 8 * bank) + channel % 48;
}

}  // namespace pelionp::NP2
