#pragma once
// Which electrode a readout channel reaches in a given bank (and shank).
// Plain functions of the probe geometry; std::nullopt when the combination
// names no electrode (bank 2 of an NP1 channel >= 192, bank 3 of most NP2
// channels, a channel or bank out of range).

#include <optional>

namespace pelionp::tool::imro {

inline constexpr int NP1_ELECTRODE_COUNT = 960;
inline constexpr int NP1_BANK_COUNT = 3;
inline constexpr int NP2_SHANK_ELECTRODE_COUNT = 1280;
inline constexpr int NP2_BANK_COUNT = 4;

// electrode = bank x 384 + channel, banks 0..2.
std::optional<int> np1_electrode(int channel, int bank) noexcept;
// Single-shank NP2: each block of 32 channels reaches a permutation of its
// 32 electrodes per bank.
std::optional<int> np2_single_shank_electrode(int channel, int bank) noexcept;
// Four-shank NP2: each group of 48 channels reaches one block of 48
// electrodes per bank, the block depending on shank and group.
std::optional<int> np2_four_shank_electrode(int channel, int shank, int bank) noexcept;

}  // namespace pelionp::tool::imro
