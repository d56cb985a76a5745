#pragma once
// Identity of a probe as its EEPROM (I2C device 0xA0, one-byte memory
// addresses, read from address 0) describes it. NP1 and NP2 probes lay the
// same fields out differently; `ProbeEepromLayout` names where each lives.
//
// Plain values; no hardware access here (the probe code reads the bytes).
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "pelionp/export.h"

namespace pelionp {

/// I2C device of the probe EEPROM (8-bit address form).
inline constexpr uint8_t PROBE_EEPROM_ADDR = 0xA0;

struct PELIONP_API ProbeInfo {
    uint64_t serial = 0;
    std::string probe_pn;
    std::string flex_pn;
    std::string version_major;
    std::string version_minor;

    friend bool operator==(const ProbeInfo&, const ProbeInfo&) = default;
};

/// Where the identity fields sit in a probe EEPROM image.
struct ProbeEepromLayout {
    struct Field {
        std::size_t offset;
        std::size_t length;
    };
    std::size_t read_length;  // bytes a probe reads from address 0
    // serial: bytes 0..7, little-endian, in both layouts
    std::size_t version_major;
    std::size_t version_minor;
    Field flex_pn;
    Field probe_pn;
};

inline constexpr ProbeEepromLayout NP1_PROBE_EEPROM{80, 10, 11, {20, 20}, {40, 20}};
inline constexpr ProbeEepromLayout NP2_PROBE_EEPROM{96, 16, 17, {32, 32}, {64, 32}};

/// Decodes an EEPROM image. Part numbers are the field's bytes up to the
/// first zero byte (or the end of the field), taken as they are. Fails only
/// when the image is shorter than the layout's read length.
PELIONP_API std::expected<ProbeInfo, std::string> decode_probe_eeprom(std::span<const uint8_t> image,
                                                                      const ProbeEepromLayout& layout);

}  // namespace pelionp
