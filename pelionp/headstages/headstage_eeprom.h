#pragma once
// The identification EEPROM every headstage carries (I2C device 0xA4 behind
// the serializer) and the operations NP1 and NP2 headstages share on it.
// NP1 addresses its memory with one byte, NP2 with two.
//
// No locks: each EEPROM access is serialised by the UART lock; a sequence
// (the self test) is not atomic with respect to other threads on the port.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "pelionp/export.h"
#include "pelionp/links/serdes.h"

namespace pelionp {

/// A lower-level message with the caller's context in front of it.
inline std::unexpected<std::string> failed(std::string_view context, const std::string& message) {
    return std::unexpected(std::string(context) + message);
}

/// Headstage EEPROM (8-bit I2C address form).
inline constexpr uint8_t HS_EEPROM_ADDR = 0xA4;
/// A device that answers here marks an NP2 headstage.
inline constexpr uint8_t NP2_HS_MARKER_ADDR = 0xB4;

/// Where a headstage kind keeps its part number and self-test cell.
struct HeadstageEepromLayout {
    std::variant<uint8_t, uint16_t> part_number;
    std::size_t part_number_length;
    std::variant<uint8_t, uint16_t> test_cell;
};

inline constexpr HeadstageEepromLayout NP1_HS_EEPROM{uint8_t{0x0A}, 20, uint8_t{0x40}};
inline constexpr HeadstageEepromLayout NP2_HS_EEPROM{uint16_t{0x000A}, 32, uint16_t{0x0040}};

/// Part-number bytes up to the first zero byte; bytes outside 0x20..0x7E
/// become '?'.
PELIONP_API std::string decode_hs_part_number(std::span<const uint8_t> field);

/// Reads and decodes the part number; the EEPROM's message passes unchanged.
PELIONP_API std::expected<std::string, std::string> read_hs_part_number(Serializer& serializer,
                                                                        const HeadstageEepromLayout& layout);

/// Saves the test cell, writes and reads back 0x55, 0xAA, 0xFF, restores.
/// NB: a failed pattern step still restores the saved byte (best effort) so
/// the test never leaves a pattern in the headstage's EEPROM.
PELIONP_API std::expected<void, std::string> bist_hs_eeprom(Serializer& serializer,
                                                            const HeadstageEepromLayout& layout);

}  // namespace pelionp
