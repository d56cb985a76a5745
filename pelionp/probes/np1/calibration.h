#pragma once
// Per-probe calibration of a Neuropixels 1.0 probe: the ADC trims that
// travel inside the base configuration images, and the gain correction
// tables (per gain code and electrode) read from the maker's CSV files.
#include <array>
#include <cstdint>
#include <expected>
#include <istream>
#include <memory>
#include <string>

#include "pelionp/export.h"

namespace pelionp {

/// One ADC's calibration record. Field order is the record order of the
/// maker's calibration files; bit positions follow the chip, where Fine lies
/// below Coarse.
struct ADC_Calib {
    int32_t adc = 0;        // 0..31
    int32_t CompP = 0;      // 0..31, field A bits +0..+4
    int32_t CompN = 0;      // 0..31, field A bits +5..+9
    int32_t Slope = 0;      // 0..7, field B bits +0..+2
    int32_t Coarse = 0;     // 0..3, field B bits +5..+6
    int32_t Fine = 0;       // 0..3, field B bits +3..+4
    int32_t Cfix = 0;       // 0..15, field B bits +7..+10
    int32_t offset = 0;     // kept by the probe, not sent
    int32_t threshold = 0;  // kept by the probe, not sent

    friend bool operator==(const ADC_Calib&, const ADC_Calib&) = default;
};

namespace NP1 {

inline constexpr std::size_t GAIN_CODE_COUNT = 8;
inline constexpr std::size_t CALIBRATED_ELECTRODE_COUNT = 960;

/// Correction factor per gain code and electrode: table[code][electrode].
using GainCalibrationTable = std::array<std::array<float, CALIBRATED_ELECTRODE_COUNT>, GAIN_CODE_COUNT>;

struct GainCalibration {
    GainCalibrationTable ap;
    GainCalibrationTable lfp;
};

/// Parses a gain calibration CSV: a serial-number line, then one line per
/// electrode 0..959 in order, each "electrode,ap0..ap7,lfp0..lfp7" (further
/// fields ignored). Numbers read like std::stoi / std::stof. A file must list
/// every electrode exactly once: a partial table would mix two calibrations
/// without anyone noticing. Non-finite factors are refused, since a sample
/// scaled by one has no 16-bit value.
/// NB: the two tables take 61 KiB, hence the heap allocation.
PELIONP_API std::expected<std::unique_ptr<GainCalibration>, std::string> parse_gain_calibration(std::istream& in);

}  // namespace NP1
}  // namespace pelionp
