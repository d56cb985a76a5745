#pragma once
// Bringing a detected probe to a recording state: its calibration files,
// its configuration (library defaults or an IMRO table) mapped onto the
// probe's setters, and the shift-register upload with one result per chain.
// All of it runs on the configuring thread, before the probe streams.

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "record/capture/sidecar.h"
#include "record/session/session.h"
#include "record/imro/configuration.h"

#include "record/export.h"

namespace pelionp::record {

// Loads the probe's calibration found under `dir` by its serial. A missing
// file is a warning (logged by the lookup) and leaves the probe's defaults;
// a file that does not load is an error. Returns whether gain corrections
// were loaded. NB: run before apply_configuration, which the NP1 probe
// needs to turn its tables into per-channel corrections.
PELIONP_RECORD_API std::expected<bool, std::string> load_calibration(const ProbeHandle& probe, const std::filesystem::path& dir);

// Maps every channel of the configuration onto the probe's setters (see
// record/imro/configuration.h for the contract); the first refused setter
// fails, naming the channel.
PELIONP_RECORD_API std::expected<void, std::string> apply_configuration(const ProbeHandle& probe,
                                                     const imro::ProbeConfiguration& configuration);

struct PELIONP_RECORD_API ChainResult {
  std::string chain;  // "shank", "base0", "shank 2", ...
  std::expected<void, std::string> result;
};

// Uploads the configuration to the probe; every chain is attempted.
PELIONP_RECORD_API std::vector<ChainResult> upload_configuration(const ProbeHandle& probe);

// Shift-register self test: the same chains with test patterns.
PELIONP_RECORD_API std::vector<ChainResult> bist_shift_registers(const ProbeHandle& probe);

// The per-channel gain corrections the data path applies now.
PELIONP_RECORD_API capture::GainCorrection ap_gain_correction(const ProbeHandle& probe);
PELIONP_RECORD_API capture::GainCorrection lf_gain_correction(const ProbeHandle& probe);  // NP1 only

}  // namespace pelionp::record
