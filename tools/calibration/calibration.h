#pragma once
// Per-probe calibration files, found by serial number under a directory:
//
//   DIR/<serial>/<serial>_gainCalValues.csv   gain corrections (NP1 and NP2)
//   DIR/<serial>/<serial>_ADCCalibration.csv  ADC settings (NP1)
//
// A missing file is not an error: the probe records with its defaults and a
// warning names the path. A file that exists but cannot be read or parsed is
// an error. The gain file's content is parsed by the probe itself; the ADC
// file is parsed here into the nine fields the probe's ADC writer takes.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "tools/probe_kind.h"

namespace pelionp::tool::calibration {

std::filesystem::path gain_file_path(const std::filesystem::path& dir, uint64_t serial);
std::filesystem::path adc_file_path(const std::filesystem::path& dir, uint64_t serial);

struct Files {
  std::optional<std::filesystem::path> gain;  // present when the file exists
  std::optional<std::filesystem::path> adc;   // NP1 only
};

// Resolves the files of one probe; logs a warning naming each missing path.
Files locate(const std::filesystem::path& dir, uint64_t serial, ProbeKind kind);

// One ADC's settings, fields in the order of the file and of the probe's
// ADC record.
struct AdcRecord {
  int32_t adc = 0;
  int32_t CompP = 0;
  int32_t CompN = 0;
  int32_t Slope = 0;
  int32_t Coarse = 0;
  int32_t Fine = 0;
  int32_t Cfix = 0;
  int32_t offset = 0;
  int32_t threshold = 0;

  friend bool operator==(const AdcRecord&, const AdcRecord&) = default;
};

inline constexpr int NP1_ADC_COUNT = 32;

struct AdcCalibration {
  std::string serial;            // the file's first line
  std::vector<AdcRecord> adcs;   // one per ADC 0..31, in file order
};

// A serial line, then one line of nine comma-separated integers per ADC;
// every ADC 0..31 exactly once. Blank lines and Windows line ends are
// accepted. Value ranges are left to the probe, which checks them.
std::expected<AdcCalibration, std::string> parse_adc_calibration(std::istream& in);
std::expected<AdcCalibration, std::string> read_adc_calibration(const std::filesystem::path& file);

}  // namespace pelionp::tool::calibration
