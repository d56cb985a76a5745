#pragma once
// The chips of a port's link: the serializer on the headstage (0x80) and
// the deserializer on the board (0x90), and the serializer's I2C
// pass-through to the EEPROMs behind it.
//
// Handles are trivially copyable values over the port's PortIIC. Every
// register access is one PortIIC transaction. An EEPROM access (register
// mode on, access, register mode off) holds the port's sequence lock, so no
// other thread's transaction on the port goes out in register mode; other
// sequences (a link switch) are not atomic with respect to other threads.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "pelionp/export.h"
#include "pelionp/links/port_iic.h"

namespace pelionp {

/// Error detection and correction mode, the two-bit field in register 0x07
/// of both chips (the code 3 is invalid).
enum class EDCMode : uint8_t { Off = 0, Mode1 = 1, Mode2 = 2 };

/// Serializer pre-emphasis, the 7-bit code of register 0x06. Codes other
/// than `None` are written as `Preemphasis{code}`.
enum class Preemphasis : uint8_t { None = 0 };

/// PRBS pattern code, bits 5:4 of serializer register 0x05.
enum class PRBS : uint8_t { Pattern0 = 0, Pattern1 = 1, Pattern2 = 2, Pattern3 = 3 };

/// EEPROM memory address: one byte, or two bytes sent high byte first.
using EEPROMAddress = std::variant<uint8_t, uint16_t>;

class PELIONP_API Serializer {
public:
    static constexpr uint8_t DEVICE_ADDR = 0x80;

    explicit Serializer(const PortIIC& port) noexcept : port(port) {}

    /// Register 0x1E must read 9.
    std::expected<void, std::string> detect_device() const;
    /// Register 0x05 bit 7: frames to the chips behind the serializer go
    /// without their register byte while it is set.
    std::expected<void, std::string> set_i2c_register_mode(bool on) const;
    /// Register 0x07 bit 4.
    std::expected<void, std::string> set_input_edge(bool edge) const;
    /// Register 0x06 = code | 0x80.
    std::expected<void, std::string> set_preemphasis(Preemphasis code) const;

    /// Reads `count` bytes of an EEPROM behind the serializer: register mode
    /// on, address write, read, register mode off. A failure to leave
    /// register mode wins over the outcome of the access.
    std::expected<std::vector<uint8_t>, std::string> eeprom_read(uint8_t device, EEPROMAddress address,
                                                                 std::size_t count) const;
    /// Writes `data` at `address` of an EEPROM behind the serializer, as
    /// eeprom_read does (one write of the address bytes then the data).
    std::expected<void, std::string> eeprom_write(uint8_t device, EEPROMAddress address,
                                                  std::vector<uint8_t> data) const;

    PortIIC port;
};

class PELIONP_API Deserializer {
public:
    static constexpr uint8_t DEVICE_ADDR = 0x90;

    explicit Deserializer(const PortIIC& port) noexcept : port(port) {}

    /// Writes the initialisation registers and checks identifier 0x0A.
    static std::expected<Deserializer, std::string> init(const PortIIC& port);
    /// Register 0x04 bit 7.
    std::expected<bool, std::string> is_locked() const;

    PortIIC port;
};

/// Serializer register 0x04 bit 7 (1: data link, 0: configuration link).
PELIONP_API std::expected<bool, std::string> is_data_link(const Serializer& serializer);
/// Puts the link into the wanted mode: up to 10 mode writes, 10 ms, re-read.
PELIONP_API std::expected<void, std::string> try_force_link(const Serializer& serializer, bool data_link);

}  // namespace pelionp
