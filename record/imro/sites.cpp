#include "record/imro/sites.h"

namespace pelionp::record::imro {

std::array<ChannelSite, CHANNEL_COUNT> channel_sites(const ProbeConfiguration& configuration) noexcept {
  const auto kind = configuration.kind;
  std::array<ChannelSite, CHANNEL_COUNT> sites{};
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& setting = configuration.channels[c];
    const auto electrode = electrode_of(kind, c, setting);
    auto& site = sites[c];
    site.shank = kind == ProbeKind::np2_four_shank ? setting.shank : 0;
    site.electrode = electrode.value_or(0);
    site.position = site_position(kind, site.electrode).value_or(SitePosition{});
    site.connected = electrode.has_value();
    site.reference = kind == ProbeKind::np1 && c == NP1_REFERENCE_CHANNEL;
    site.used = site.connected && !site.reference;
  }
  return sites;
}

}  // namespace pelionp::record::imro
