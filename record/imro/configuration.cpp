#include "record/imro/configuration.h"

#include <bit>

#include "record/imro/geometry.h"

namespace pelionp::record::imro {

std::optional<uint8_t> np1_gain_code(int gain) noexcept {
  for (size_t code = 0; code < NP1_GAINS.size(); ++code)
    if (NP1_GAINS[code] == gain) return static_cast<uint8_t>(code);
  return std::nullopt;
}

ProbeConfiguration default_configuration(ProbeKind kind) noexcept {
  ProbeConfiguration configuration;
  configuration.kind = kind;
  return configuration;
}

std::optional<int> lowest_bank(const ChannelSetting& setting) noexcept {
  if (setting.bank_mask == 0) return std::nullopt;
  return std::countr_zero(setting.bank_mask);
}

std::optional<int> electrode_of(ProbeKind kind, int channel, const ChannelSetting& setting) noexcept {
  const auto bank = lowest_bank(setting);
  if (!bank) return std::nullopt;
  switch (kind) {
    case ProbeKind::np1: return np1_electrode(channel, *bank);
    case ProbeKind::np2_single_shank: return np2_single_shank_electrode(channel, *bank);
    case ProbeKind::np2_four_shank: return np2_four_shank_electrode(channel, setting.shank, *bank);
  }
  return std::nullopt;
}

}  // namespace pelionp::record::imro
