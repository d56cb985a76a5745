#pragma once
// ProbeInterface descriptions of recorded probes: the JSON files analysis
// tools read to place each .bin channel on the probe. One document per
// probe beside its files and one for the whole run holding every probe:
//
//   {"specification": "probeinterface", "version": "0.2.x", "probes": [
//     {"ndim": 2, "si_units": "um", "annotations": {model_name, manufacturer,
//      serial_number, part_number}, "contact_positions": [[x, z]...] (probe
//      coordinates: the shank offset added), "contact_shapes": "square"...,
//      "contact_shape_params": {"width": 12}..., "shank_ids", "contact_ids"
//      ("e<electrode>", or "s<shank>e<electrode>" on four-shank probes),
//      "device_channel_indices" (the channel's index in the .bin),
//      "probe_planar_contour": the outline of every shank}]}
//
// Contacts are the configuration's used channels (see imro/sites.h), in
// .bin channel order. Plain functions; no state, any thread.

#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "record/export.h"
#include "record/imro/configuration.h"
#include "record/spikeglx/meta.h"

namespace pelionp::record::probeinterface {

inline constexpr const char* SPECIFICATION = "probeinterface";
inline constexpr const char* VERSION = "0.2.21";

struct RecordedProbe {
  spikeglx::ProbeIdentity identity;
  imro::ProbeConfiguration configuration;
};

// One element of "probes".
PELIONP_RECORD_API nlohmann::json probe(const RecordedProbe& probe);
// The whole document for these probes.
PELIONP_RECORD_API nlohmann::json document(std::span<const RecordedProbe> probes);
// Writes document(probes) to `file`.
PELIONP_RECORD_API std::expected<void, std::string> write(const std::filesystem::path& file,
                                                          std::span<const RecordedProbe> probes);

}  // namespace pelionp::record::probeinterface
