#pragma once
// The site each readout channel of a configuration records: shank,
// electrode and position, in channel order (the order of the .bin). The
// geometry map of the .meta files, the ProbeInterface description and the
// preview all read positions from here, so they cannot disagree.

#include <array>
#include <optional>

#include "record/export.h"
#include "record/imro/configuration.h"
#include "record/imro/geometry.h"

namespace pelionp::record::imro {

struct ChannelSite {
  int shank = 0;
  int electrode = 0;       // on its shank
  SitePosition position;   // on its shank
  bool connected = false;  // reaches an electrode (its bank exists)
  // NP1 channel 191: sits on its electrode but carries the internal
  // reference line, not the electrode's signal.
  bool reference = false;
  // Records its electrode: connected and not the reference line.
  bool used = false;

  // x on the probe: the shank's offset added (four-shank probes).
  int probe_x_um(ProbeKind kind) const noexcept { return shank * shank_pitch_um(kind) + position.x_um; }
};

PELIONP_RECORD_API std::array<ChannelSite, CHANNEL_COUNT> channel_sites(const ProbeConfiguration& configuration) noexcept;

}  // namespace pelionp::record::imro
