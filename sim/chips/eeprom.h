#pragma once
// A serial EEPROM with one- or two-byte memory addresses (high byte first).
//
// I2C semantics: a write sets the memory pointer from its first address
// bytes and stores the remaining bytes from there; a read returns bytes from
// the pointer. Both advance the pointer, wrapping at the end of the memory.
// A register transaction is the same with the register byte taken as the
// first byte on the wire. A write shorter than the address leaves the
// pointer as it was.
#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/chip.h"

namespace pelionp::sim {

class EepromChip final : public Chip {
public:
    /// `address_bytes` is 1 or 2; `size` at most 256 or 65536 accordingly.
    EepromChip(std::size_t address_bytes, std::size_t size);

    std::optional<Bytes> read(uint8_t reg, std::size_t count) override;
    bool write(uint8_t reg, std::span<const uint8_t> data) override;
    std::optional<Bytes> read_current(std::size_t count) override;
    bool write_raw(std::span<const uint8_t> data) override;

    /// Test access to the memory, without moving the pointer.
    void load(std::size_t offset, std::span<const uint8_t> bytes);
    [[nodiscard]] const Bytes& memory() const { return memory_; }
    [[nodiscard]] std::size_t pointer() const { return pointer_; }

    /// Knob: writes are acknowledged but the memory keeps its contents.
    void set_write_protect(bool on) { write_protect_ = on; }

private:
    std::size_t address_bytes_;
    Bytes memory_;
    std::size_t pointer_ = 0;
    bool write_protect_ = false;
};

}  // namespace pelionp::sim
