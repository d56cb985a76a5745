#pragma once
// The ground truth of a run recorded from the simulated board: which units
// each simulated probe's signal holds (sim/probes/neural_signal.h), where
// they sit and when they fired, written beside the recording as
// <run folder>/sim_ground_truth.json so that a spike detector run on the
// files can be scored:
//   {"period_ticks", "probes": [{"imec", "port", "dock", "kind", "serial",
//     "ap_bin", "first_tick", "last_tick", ...the model's figures,
//     "units": [{"shank", "electrode", "x_um", "z_um", "amplitude_uv",
//                "phases", "spike_ticks"}]}]}
// Spike ticks are device timestamps (the .ap.timestamps.npy values), those
// from the probe file's first to its last sample.

#include <expected>
#include <string>

#include "record/session/run.h"
#include "tools/commands/device.h"

namespace pelionp::tool::commands {

inline constexpr std::string_view SIM_GROUND_TRUTH_FILE = "sim_ground_truth.json";

// Writes the file for a finished run (its files closed); nothing for a run
// recorded from a plug-in's board.
std::expected<void, std::string> write_sim_ground_truth(const DeviceChoice& choice, const record::Run& run);

}  // namespace pelionp::tool::commands
