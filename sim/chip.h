#pragma once
// The one interface every simulated I2C chip implements.
//
// A register transaction is what the UART bridge performs for a 'y' frame:
// the bus master sends the register byte, then writes `data` or reads
// `count` bytes from there. A serializer in I2C register mode forwards the
// frames to the chips behind it without the register byte (`write_raw`,
// `read_current`); chips that have no use for such transactions refuse them.
//
// Refusing is how a chip NACKs: an empty optional or `false`.
//
// Threading: the Board calls chips under its own mutex only. A test that
// touches a chip while library threads run takes `Board::hold()` first.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pelionp::sim {

using Bytes = std::vector<uint8_t>;

class Chip {
public:
    virtual ~Chip() = default;

    /// Reads `count` bytes starting at `reg`; empty = not acknowledged.
    virtual std::optional<Bytes> read(uint8_t reg, std::size_t count) = 0;
    /// Writes `data` starting at `reg`; false = not acknowledged.
    virtual bool write(uint8_t reg, std::span<const uint8_t> data) = 0;

    /// A read without a register byte, from the chip's current pointer.
    virtual std::optional<Bytes> read_current(std::size_t /*count*/) { return std::nullopt; }
    /// A write without a register byte.
    virtual bool write_raw(std::span<const uint8_t> /*data*/) { return false; }
};

}  // namespace pelionp::sim
