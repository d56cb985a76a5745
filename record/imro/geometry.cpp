#include "record/imro/geometry.h"

#include <array>

#include "record/probe_kind.h"

namespace pelionp::record::imro {

namespace {
bool valid_channel(int channel) noexcept { return channel >= 0 && channel < CHANNEL_COUNT; }

std::optional<int> if_below(int electrode, int count) noexcept {
  if (electrode < count) return electrode;
  return std::nullopt;
}
}  // namespace

std::optional<SitePosition> site_position(ProbeKind kind, int electrode) noexcept {
  if (kind == ProbeKind::np1) {
    if (electrode < 0 || electrode >= NP1_ELECTRODE_COUNT) return std::nullopt;
    const int row = electrode / 2;
    const int column = electrode % 2;
    const int x = (row % 2 == 0 ? 27 : 11) + 32 * column;
    return SitePosition{x, row * NP1_ROW_PITCH_UM};
  }
  if (electrode < 0 || electrode >= NP2_SHANK_ELECTRODE_COUNT) return std::nullopt;
  return SitePosition{27 + 32 * (electrode % 2), (electrode / 2) * NP2_ROW_PITCH_UM};
}

std::optional<int> np1_electrode(int channel, int bank) noexcept {
  if (!valid_channel(channel) || bank < 0 || bank >= NP1_BANK_COUNT) return std::nullopt;
  return if_below(bank * CHANNEL_COUNT + channel, NP1_ELECTRODE_COUNT);
}

std::optional<int> np2_single_shank_electrode(int channel, int bank) noexcept {
  // NB: bank 0 is the identity; an all-zero bank-0 row would send each block
  // of 32 channels to a single electrode. Same table as the probe model's.
  static constexpr std::array<std::array<int, 4>, 4> A{{{0, 1, 2, 3}, {0, 9, 14, 23}, {0, 17, 26, 11}, {0, 25, 22, 15}}};
  static constexpr std::array<int, 4> B{4, 28, 20, 12};
  if (!valid_channel(channel) || bank < 0 || bank >= NP2_BANK_COUNT) return std::nullopt;
  const int in_block = (A[bank][channel % 4] + ((channel % 32) / 4) * B[bank]) % 32;
  return if_below(CHANNEL_COUNT * bank + 32 * (channel / 32) + in_block, NP2_SHANK_ELECTRODE_COUNT);
}

std::optional<int> np2_four_shank_electrode(int channel, int shank, int bank) noexcept {
  static constexpr std::array<std::array<int, 8>, 4> M{{
      {0, 6, 1, 7, 2, 4, 3, 5},
      {6, 0, 7, 1, 4, 2, 5, 3},
      {2, 4, 3, 5, 0, 6, 1, 7},
      {4, 2, 5, 3, 6, 0, 7, 1},
  }};
  if (!valid_channel(channel) || shank < 0 || shank >= 4 || bank < 0 || bank >= NP2_BANK_COUNT) return std::nullopt;
  return if_below(48 * (M[shank][channel / 48] + 8 * bank) + channel % 48, NP2_SHANK_ELECTRODE_COUNT);
}

}  // namespace pelionp::record::imro
