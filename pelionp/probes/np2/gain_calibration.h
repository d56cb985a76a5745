#pragma once
// Reader of a Neuropixels 2.0 gain calibration file: a CSV whose first line
// is the probe serial number and whose further lines are "channel,gain"
// for channels 0..383 in order (extra fields ignored).
#include <array>
#include <expected>
#include <istream>
#include <string>

#include "pelionp/export.h"
#include "pelionp/probes/np2/config.h"

namespace pelionp::NP2 {

using GainTable = std::array<float, PROBE_CHANNEL_COUNT>;

/// Reads the whole stream. Every channel 0..383 must appear exactly once,
/// in order; a channel of 384 or above, or a file that ends before channel
/// 383, is refused so that a partial table never replaces a whole one.
PELIONP_API std::expected<GainTable, std::string> read_gain_calibration(std::istream& stream);

}  // namespace pelionp::NP2
