#pragma once
// Register map of the Neuropixels 2.0 probe chip (I2C device 0x20 behind the
// headstage's dock routing). Both variants share it; only the number of
// shank chains differs.
#include <cstdint>

namespace pelionp::NP2 {

/// 8-bit I2C address of the probe chip.
inline constexpr uint8_t PROBE_DEVICE_ADDR = 0x20;
/// 8-bit I2C address of the probe identification EEPROM (behind the serializer).
inline constexpr uint8_t PROBE_EEPROM_ADDR = 0xA0;

namespace reg {
inline constexpr uint8_t OP_MODE = 0x00;
inline constexpr uint8_t REC_MODE = 0x01;
inline constexpr uint8_t CAL_MODE = 0x02;
inline constexpr uint8_t TEST_CONFIG1 = 0x03;
/// Bit 7 (`SR_OUT_OK`) reports whether the last chain load was consistent.
inline constexpr uint8_t STATUS = 0x09;
/// Scratch register of the I2C self test.
inline constexpr uint8_t SYNC = 0x0A;
/// Base configuration chain of the odd-numbered channels.
inline constexpr uint8_t SR_CHAIN_BASE_ODD = 0x16;
/// Base configuration chain of the even-numbered channels.
inline constexpr uint8_t SR_CHAIN_BASE_EVEN = 0x17;
/// Shank chains count down from here: shank s is on 0x1B - s.
inline constexpr uint8_t SR_CHAIN_SHANK0 = 0x1B;
inline constexpr uint8_t SR_LENGTH_HIGH = 0x1C;
inline constexpr uint8_t SR_LENGTH_LOW = 0x1D;
}  // namespace reg

inline constexpr uint8_t STATUS_SR_OUT_OK = 0x80;

/// REC_MODE values: 0xC9 selects the digital test pattern, 0xC8 everything else.
inline constexpr uint8_t REC_MODE_NORMAL = 0xC8;
inline constexpr uint8_t REC_MODE_DIGITAL_TEST = 0xC9;

/// OP_MODE byte per `probe_opmode_t` value (RECORDING, CALIBRATION,
/// DIGITAL_TEST, CALIBRATION_TEST).
inline constexpr uint8_t OP_MODE_BYTES[4] = {0x40, 0x60, 0x50, 0x68};

/// CAL_MODE bits 6..7 route the calibration input.
inline constexpr uint8_t CAL_MODE_ROUTING_MASK = 0xC0;
inline constexpr uint8_t CAL_MODE_PIXEL = 0x80;
inline constexpr uint8_t CAL_MODE_CHANNEL = 0x40;

}  // namespace pelionp::NP2
