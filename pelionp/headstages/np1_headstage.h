#pragma once
// A Neuropixels 1.0 headstage: serializer, identification EEPROM (one-byte
// addresses), an LED on serializer GPIO 1, and one probe.
//
// Ownership: the headstage owns its probe slot; the library never fills it.
// The host keeps the probe made by NP1::Probe::init there so that it dies
// with the headstage (the port owns the headstage).
// Threading: no lock of its own; every I2C transaction is serialised by the
// UART lock. The controller calls `init` and `bist_eeprom` under its mutex.
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "pelionp/export.h"
#include "pelionp/links/link_state.h"
#include "pelionp/links/serdes.h"

namespace pelionp::NP1 {

class Probe;

/// Serializer GPIO as an NP1 headstage wires it.
inline constexpr uint8_t GPIO_ENABLE_REG = 0x0E;
inline constexpr uint8_t GPIO_VALUE_REG = 0x0F;
inline constexpr uint8_t GPIO_ENABLE = 0x42;
inline constexpr uint8_t GPIO_LED_ON = 0xC0;  // bit 1 low lights the LED
inline constexpr uint8_t GPIO_LED_OFF = 0xC2;

/// Headstage part number: 20 bytes at EEPROM address 0x0A. The EEPROM's
/// message passes unchanged; an empty part number is valid.
PELIONP_API std::expected<std::string, std::string> readHSPN(Serializer& serializer);

class PELIONP_API Headstage {
public:
    /// Sets input sampling and GPIO (LED on) and reads the part number.
    static std::expected<Headstage, std::string> init(ConfigLinkedSerDes& link);

    Headstage(const Serializer& serializer, std::string part_number);
    Headstage(Headstage&&) noexcept;
    Headstage& operator=(Headstage&&) noexcept;
    Headstage(const Headstage&) = delete;
    Headstage& operator=(const Headstage&) = delete;
    ~Headstage();

    /// Write/read-back test of EEPROM cell 0x40; the cell is restored.
    std::expected<void, std::string> bist_eeprom();
    /// Failure is logged at error level, not returned.
    void setHSLed(bool on);

    Serializer serializer;
    std::string part_number;
    std::unique_ptr<Probe> probe;
};

}  // namespace pelionp::NP1
