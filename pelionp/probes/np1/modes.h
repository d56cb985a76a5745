#pragma once
// Operating modes and calibration input routing of a probe. The values are
// shared with the NP2 probes, which map them to their own register bits.
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelionp {

enum class probe_opmode_t : int32_t {
    RECORDING = 0,
    CALIBRATION = 1,
    DIGITAL_TEST = 2,
    CALIBRATION_TEST = 3,
};

enum class testinputmode_t : int32_t {
    PIXEL_MODE = 0,
    CHANNEL_MODE = 1,
    NONE = 2,
    ADC_MODE = 3,
};

namespace NP1 {

/// The NP1 OP_MODE byte of a mode; empty for a value outside the enum.
constexpr std::optional<uint8_t> op_mode_byte(probe_opmode_t mode) noexcept {
    switch (mode) {
        case probe_opmode_t::RECORDING: return 0x40;
        case probe_opmode_t::CALIBRATION: return 0x60;
        case probe_opmode_t::DIGITAL_TEST: return 0x50;
        case probe_opmode_t::CALIBRATION_TEST: return 0x68;
    }
    return std::nullopt;
}

/// The NP1 CAL_MODE bits 5..7 of a calibration input; empty outside the enum.
constexpr std::optional<uint8_t> cal_mode_bits(testinputmode_t mode) noexcept {
    switch (mode) {
        case testinputmode_t::PIXEL_MODE: return 0x80;
        case testinputmode_t::CHANNEL_MODE: return 0x40;
        case testinputmode_t::NONE: return 0x00;
        case testinputmode_t::ADC_MODE: return 0x20;
    }
    return std::nullopt;
}

constexpr std::string_view to_string(probe_opmode_t mode) noexcept {
    switch (mode) {
        case probe_opmode_t::RECORDING: return "RECORDING";
        case probe_opmode_t::CALIBRATION: return "CALIBRATION";
        case probe_opmode_t::DIGITAL_TEST: return "DIGITAL_TEST";
        case probe_opmode_t::CALIBRATION_TEST: return "CALIBRATION_TEST";
    }
    return "?";
}

constexpr std::string_view to_string(testinputmode_t mode) noexcept {
    switch (mode) {
        case testinputmode_t::PIXEL_MODE: return "PIXEL_MODE";
        case testinputmode_t::CHANNEL_MODE: return "CHANNEL_MODE";
        case testinputmode_t::NONE: return "NONE";
        case testinputmode_t::ADC_MODE: return "ADC_MODE";
    }
    return "?";
}

}  // namespace NP1
}  // namespace pelionp
