#pragma once
// Identification and bring-up of a Neuropixels 2.0 probe in one dock of an
// NP2 headstage: the only way to obtain a probe object.
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pelionp/export.h"
#include "pelionp/links/probe_iic.h"
#include "pelionp/links/serdes.h"
#include "pelionp/probes/np2/probe_variants.h"

namespace pelionp::NP2 {

using ProbeHandle = std::unique_ptr<ProbeVariant>;

/// Which variant a probe part number names (compared exactly): 1 for a
/// four-shank probe, 0 for a single shank, empty for an unknown number.
PELIONP_API std::optional<std::size_t> variant_index_of_part_number(std::string_view probe_pn) noexcept;

/// Routes the probe bus to `dock`, reads the probe EEPROM, builds the
/// variant its part number names (starting its decoder) and puts the probe
/// registers into recording mode. No shift register is uploaded. On any
/// failure nothing is left behind.
PELIONP_API std::expected<ProbeHandle, std::string> init(Serializer& serializer, Dock dock);

}  // namespace pelionp::NP2
