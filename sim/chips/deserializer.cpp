#include "sim/chips/deserializer.h"

namespace pelionp::sim {

bool DeserializerChip::locked() const { return remote_ && remote_->data_link() && !never_lock_; }

uint8_t DeserializerChip::read_register(uint8_t reg) {
    if (reg != 0x04) return regs_[reg];
    bool lock = locked();
    if (lock && unlocked_polls_ > 0) {
        --unlocked_polls_;
        lock = false;
    }
    return static_cast<uint8_t>((regs_[0x04] & 0x7F) | (lock ? 0x80 : 0x00));
}

void DeserializerChip::write_register(uint8_t reg, uint8_t value) {
    if (reg == 0x1E || (reg >= 0x10 && reg <= 0x14)) return;  // identifier and results are read only
    if (reg != 0x04) {
        regs_[reg] = value;
        return;
    }
    const bool was_checking = prbs_checking();
    regs_[0x04] = value & 0x7F;  // bit 7 is the lock status
    if (!was_checking && prbs_checking()) start_check();
    if (was_checking && !prbs_checking()) stop_check();
}

void DeserializerChip::start_check() {
    for (uint8_t r = 0x10; r <= 0x14; ++r) regs_[r] = 0;
    starts_at_check_ = remote_ ? remote_->prbs_starts() : 0;
    pattern_seen_ = remote_ && remote_->prbs_generating();
}

void DeserializerChip::stop_check() {
    if (remote_ && remote_->prbs_starts() > starts_at_check_) pattern_seen_ = true;
    const bool completed = pattern_seen_ && locked();
    regs_[0x10] = completed ? prbs_result_.errors : 0;
    regs_[0x11] = 0;
    regs_[0x12] = completed ? prbs_result_.corrected : 0;
    regs_[0x13] = completed ? prbs_result_.prbs_errors : 0;
    regs_[0x14] = completed ? 0x80 : 0x00;
}

}  // namespace pelionp::sim
