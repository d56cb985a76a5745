#pragma once
// Per-probe calibration files, found by serial number under a directory:
//
//   DIR/<serial>/<serial>_gainCalValues.csv   gain corrections (NP1 and NP2)
//   DIR/<serial>/<serial>_ADCCalibration.csv  ADC settings (NP1)
//
// A missing file is not an error: the probe records with its defaults and a
// warning names the path. A file that exists but cannot be read or parsed is
// an error. The gain file's content is parsed by the probe itself; the ADC
// file is parsed here straight into the probe's own ADC records (ADC_Calib),
// which the probe's ADC writer takes.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "pelionp/probes/np1/calibration.h"
#include "record/probe_kind.h"

#include "record/export.h"

namespace pelionp::record::calibration {

PELIONP_RECORD_API std::filesystem::path gain_file_path(const std::filesystem::path& dir, uint64_t serial);
PELIONP_RECORD_API std::filesystem::path adc_file_path(const std::filesystem::path& dir, uint64_t serial);

struct PELIONP_RECORD_API Files {
  std::optional<std::filesystem::path> gain;  // present when the file exists
  std::optional<std::filesystem::path> adc;   // NP1 only
};

// Resolves the files of one probe; logs a warning naming each missing path.
PELIONP_RECORD_API Files locate(const std::filesystem::path& dir, uint64_t serial, ProbeKind kind);

inline constexpr int NP1_ADC_COUNT = 32;

struct PELIONP_RECORD_API AdcCalibration {
  std::string serial;            // the file's first line
  std::vector<ADC_Calib> adcs;   // one per ADC 0..31, in file order
};

// A serial line, then one line of nine comma-separated integers per ADC;
// every ADC 0..31 exactly once. Blank lines and Windows line ends are
// accepted. Value ranges are left to the probe, which checks them.
PELIONP_RECORD_API std::expected<AdcCalibration, std::string> parse_adc_calibration(std::istream& in);
PELIONP_RECORD_API std::expected<AdcCalibration, std::string> read_adc_calibration(const std::filesystem::path& file);

}  // namespace pelionp::record::calibration
