#include "sim/i2c_bus.h"

namespace pelionp::sim {

Answer deliver(Chip& chip, const Transaction& t) {
    if (t.is_read) return t.reg ? chip.read(*t.reg, t.count) : chip.read_current(t.count);
    const bool ack = t.reg ? chip.write(*t.reg, t.data) : chip.write_raw(t.data);
    return ack ? Answer(Bytes{}) : std::nullopt;
}

void I2CBus::attach(uint8_t address, std::shared_ptr<Chip> chip) { chips_[address & 0xFE] = std::move(chip); }

void I2CBus::detach(uint8_t address) { chips_.erase(address & 0xFE); }

Chip* I2CBus::find(uint8_t address) const {
    const auto it = chips_.find(address & 0xFE);
    return it == chips_.end() ? nullptr : it->second.get();
}

Answer I2CBus::transfer(const Transaction& transaction) {
    Chip* chip = find(transaction.address);
    return chip ? deliver(*chip, transaction) : std::nullopt;
}

}  // namespace pelionp::sim
