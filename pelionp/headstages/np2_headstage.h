#pragma once
// A Neuropixels 2.0 headstage: serializer, identification EEPROM (two-byte
// addresses), and two docks sharing one probe I2C bus that serializer
// register 0x0F routes to one dock at a time (see NP2::ProbeIIC).
//
// Ownership: the headstage owns one probe slot per dock; the library never
// fills them. The host keeps the probes made by NP2::init there so that
// they die with the headstage (the port owns the headstage).
// Threading: no lock of its own; every I2C transaction is serialised by the
// UART lock. The controller calls `init` and `bist_eeprom` under its mutex.
#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <variant>

#include "pelionp/export.h"
#include "pelionp/links/link_state.h"
#include "pelionp/links/probe_iic.h"
#include "pelionp/links/serdes.h"

namespace pelionp::NP2 {

class NP2003NP2004;
class NP2013NP2014;

using ProbeVariant = std::variant<NP2003NP2004, NP2013NP2014>;

/// Serializer GPIO as an NP2 headstage wires it. Power-up steps 0x0F
/// through 0xC1, 0xC9, 0xE9, 0xED (bits 3, 5 and 2 on one after another).
inline constexpr uint8_t GPIO_ENABLE_REG = 0x0E;
inline constexpr uint8_t GPIO_VALUE_REG = 0x0F;
inline constexpr uint8_t GPIO_ENABLE = 0x7E;
inline constexpr uint8_t GPIO_ALL_OFF = 0xC1;

class PELIONP_API Headstage {
public:
    /// Input sampling, GPIO power-up (at least 80 ms of pauses) and the part
    /// number. The three late power-up writes are best effort: a failure
    /// only lengthens the pause.
    static std::expected<Headstage, std::string> init(ConfigLinkedSerDes& link);

    Headstage(const Serializer& serializer, std::string part_number);
    Headstage(Headstage&&) noexcept;
    Headstage& operator=(Headstage&&) noexcept;
    Headstage(const Headstage&) = delete;
    Headstage& operator=(const Headstage&) = delete;
    ~Headstage();

    /// Write/read-back test of EEPROM cell 0x0040; the cell is restored.
    std::expected<void, std::string> bist_eeprom();

    Serializer serializer;
    std::string part_number;
    /// Indexed by dock (0, 1); destroyed second dock first.
    std::array<std::unique_ptr<ProbeVariant>, 2> probes;
};

}  // namespace pelionp::NP2
