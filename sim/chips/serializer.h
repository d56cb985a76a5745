#pragma once
// The headstage-side serializer of a port's link (I2C 0x80).
//
// Registers modelled:
//   0x04  bit 7 link mode (1 data, 0 configuration), as written (0x43 / 0x83);
//         bit 5 PRBS generator on; bits 3:2 kept as written
//   0x05  bit 7 I2C register mode; bits 5:4 PRBS pattern
//   0x06  pre-emphasis; 0x07 bit 7 input mode, bit 4 input edge, bits 1:0 EDC
//   0x0E  GPIO enable; 0x0F GPIO outputs (bits 4 and 1 route the dock bus)
//   0x1E  identifier, read only (9)
// Every other register is plain storage.
#include <cstdint>
#include <optional>

#include "sim/chips/register_file.h"

namespace pelionp::sim {

class SerializerChip final : public RegisterFile {
public:
    static constexpr uint8_t ADDRESS = 0x80;
    static constexpr uint8_t ID = 9;
    /// Power-on link mode register: data link, bits 3:2 set.
    static constexpr uint8_t POWER_ON_MODE = 0x8C;

    SerializerChip() { reset(); }

    /// Power-on register values (the headstage was just plugged).
    void reset();
    /// Knob: the identifier register 0x1E.
    void set_id(uint8_t id) { regs_[0x1E] = id; }

    [[nodiscard]] bool data_link() const { return regs_[0x04] & 0x80; }
    [[nodiscard]] bool prbs_generating() const { return regs_[0x04] & 0x20; }
    [[nodiscard]] uint8_t prbs_pattern() const { return (regs_[0x05] >> 4) & 0x3; }
    [[nodiscard]] bool register_mode() const { return regs_[0x05] & 0x80; }
    /// Chips behind the serializer are reachable on the configuration link
    /// or in I2C register mode.
    [[nodiscard]] bool passes_through() const { return !data_link() || register_mode(); }
    /// Dock that GPIO 0x0F routes the probe bus to: bit 4 enables the
    /// routing, bit 1 set picks dock 0, clear dock 1.
    [[nodiscard]] std::optional<int> routed_dock() const;
    /// Times the PRBS generator was switched on since power-on.
    [[nodiscard]] uint64_t prbs_starts() const { return prbs_starts_; }

protected:
    void write_register(uint8_t reg, uint8_t value) override;

private:
    uint64_t prbs_starts_ = 0;
};

}  // namespace pelionp::sim
