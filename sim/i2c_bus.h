#pragma once
// An I2C bus: chip models attached by 8-bit address, and the transaction
// shape that travels between the UART bridge, the buses and the chips.
//
// Threading: none of its own; the Board serialises every access.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "sim/chip.h"

namespace pelionp::sim {

/// One I2C transaction as the bridge (or a forwarding serializer) performs it.
struct Transaction {
    uint8_t address = 0;         ///< 8-bit form; bit 0 is ignored for routing
    bool is_read = false;
    std::optional<uint8_t> reg;  ///< empty when forwarded without a register byte
    std::size_t count = 0;       ///< bytes to read
    Bytes data;                  ///< bytes to write
};

/// Read: the bytes. Write: an empty vector. Not acknowledged: empty optional.
using Answer = std::optional<Bytes>;

/// Hands a transaction to a chip in the form it arrived.
Answer deliver(Chip& chip, const Transaction& transaction);

/// Anything that answers transactions: a bus, a port, a headstage.
class I2CTarget {
public:
    virtual ~I2CTarget() = default;
    virtual Answer transfer(const Transaction& transaction) = 0;
};

class I2CBus final : public I2CTarget {
public:
    /// Attaches `chip` at an 8-bit address (bit 0 ignored), replacing any chip there.
    void attach(uint8_t address, std::shared_ptr<Chip> chip);
    void detach(uint8_t address);
    /// The chip at an address, or null.
    [[nodiscard]] Chip* find(uint8_t address) const;

    /// Delivers to the chip at the address; nobody there does not acknowledge.
    Answer transfer(const Transaction& transaction) override;

private:
    std::map<uint8_t, std::shared_ptr<Chip>> chips_;
};

}  // namespace pelionp::sim
