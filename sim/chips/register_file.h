#pragma once
// Base of chips that are a bank of 256 byte registers with an
// auto-incrementing register pointer. Subclasses give registers behaviour
// through `read_register` / `write_register`.
//
// It counts reads and writes per register, so a test can tell how often
// the library polled a status bit without looking at frames.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/chip.h"

namespace pelionp::sim {

class RegisterFile : public Chip {
public:
    std::optional<Bytes> read(uint8_t reg, std::size_t count) override;
    bool write(uint8_t reg, std::span<const uint8_t> data) override;

    /// The stored byte, without side effects.
    [[nodiscard]] uint8_t peek(uint8_t reg) const { return regs_[reg]; }
    /// Sets the stored byte, without side effects.
    void poke(uint8_t reg, uint8_t value) { regs_[reg] = value; }

    /// Fault: the next `count` writes to `reg` (all, when empty) are
    /// acknowledged but do not change the register.
    void ignore_writes(uint8_t reg, std::optional<std::size_t> count = std::nullopt);
    void clear_ignored_writes() { ignored_.fill(0); }

    [[nodiscard]] std::size_t reads(uint8_t reg) const { return reads_[reg]; }
    [[nodiscard]] std::size_t writes(uint8_t reg) const { return writes_[reg]; }
    void clear_counts();

protected:
    virtual uint8_t read_register(uint8_t reg) { return regs_[reg]; }
    virtual void write_register(uint8_t reg, uint8_t value) { regs_[reg] = value; }

    std::array<uint8_t, 256> regs_{};

private:
    static constexpr std::size_t FOREVER = static_cast<std::size_t>(-1);
    std::array<std::size_t, 256> ignored_{};
    std::array<std::size_t, 256> reads_{};
    std::array<std::size_t, 256> writes_{};
};

}  // namespace pelionp::sim
