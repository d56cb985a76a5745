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
//      "device_channel_indices", "probe_planar_contour": the outline of
//      every shank, "contact_annotations": {"adc_group", "adc_sample_order"
//      (see imro/adc_order.h), "reference_line" (true for NP1 channel 191,
//      which sits on its electrode but records the internal reference)},
//      and the probe annotations "num_adcs", "num_channels_per_adc"}]}
//
// Contacts are the configuration's connected channels (see imro/sites.h),
// in .bin channel order: all 384 unless an NP2 table disconnects some.
// device_channel_indices: in a probe's own document the channel's index in
// its .bin; in the run's document, 384 × imec index + channel,
// the channel's index in the run's AP streams placed end to end without
// their sync channels, so that indices are unique across the probes as
// readers require. Plain functions; no state, any thread.

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

// One element of "probes"; `channel_offset` is added to every device channel index.
PELIONP_RECORD_API nlohmann::json probe(const RecordedProbe& probe, int channel_offset = 0);
// The whole document: probe k's indices offset by 384 × k.
PELIONP_RECORD_API nlohmann::json document(std::span<const RecordedProbe> probes);
// Writes document(probes) to `file`.
PELIONP_RECORD_API std::expected<void, std::string> write(const std::filesystem::path& file,
                                                          std::span<const RecordedProbe> probes);

}  // namespace pelionp::record::probeinterface
