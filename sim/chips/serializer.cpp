#include "sim/chips/serializer.h"

namespace pelionp::sim {

void SerializerChip::reset() {
    regs_.fill(0);
    regs_[0x04] = POWER_ON_MODE;
    regs_[0x1E] = ID;
    prbs_starts_ = 0;
}

std::optional<int> SerializerChip::routed_dock() const {
    const uint8_t gpio = regs_[0x0F];
    if (!(gpio & 0x10)) return std::nullopt;
    return (gpio & 0x02) ? 0 : 1;
}

void SerializerChip::write_register(uint8_t reg, uint8_t value) {
    if (reg == 0x1E) return;  // identifier is read only
    if (reg == 0x04 && (value & 0x20) && !prbs_generating()) ++prbs_starts_;
    regs_[reg] = value;
}

}  // namespace pelionp::sim
