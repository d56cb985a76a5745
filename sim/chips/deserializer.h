#pragma once
// The board-side deserializer of a port's link (I2C 0x90), always present.
//
// Registers modelled:
//   0x04  bit 7 link locked (read only): set while a plugged serializer is in
//         data link mode; bit 5 PRBS checker on. Clearing bit 5 ends a check
//         and latches its results.
//   0x07  bit 7 input mode, bits 1:0 EDC mode (plain storage)
//   0x10..0x14  PRBS results, read only: 0x10 errors, 0x11 0, 0x12 corrected,
//         0x13 PRBS errors, 0x14 bit 7 check completed (the generator ran
//         while the checker was on and the link was locked when it stopped)
//   0x1E  identifier, read only (0x0A)
// Every other register is plain storage.
#include <cstdint>
#include <memory>

#include "sim/chips/register_file.h"
#include "sim/chips/serializer.h"

namespace pelionp::sim {

class DeserializerChip final : public RegisterFile {
public:
    static constexpr uint8_t ADDRESS = 0x90;
    static constexpr uint8_t ID = 0x0A;

    struct PrbsResult {
        uint8_t errors = 0;
        uint8_t corrected = 0;
        uint8_t prbs_errors = 0;
    };

    DeserializerChip() { regs_[0x1E] = ID; }

    /// The serializer at the far end of the link, or null when unplugged.
    void connect(std::shared_ptr<const SerializerChip> serializer) { remote_ = std::move(serializer); }

    [[nodiscard]] bool locked() const;
    [[nodiscard]] bool prbs_checking() const { return regs_[0x04] & 0x20; }

    /// Knob: the identifier register 0x1E.
    void set_id(uint8_t id) { regs_[0x1E] = id; }
    /// Knob: the link never locks.
    void set_never_lock(bool never) { never_lock_ = never; }
    /// Knob: the next `polls` reads of 0x04 on a lockable link still show it unlocked.
    void set_lock_delay(std::size_t polls) { unlocked_polls_ = polls; }
    /// Knob: what the next completed PRBS check reports.
    void set_prbs_result(PrbsResult result) { prbs_result_ = result; }

protected:
    uint8_t read_register(uint8_t reg) override;
    void write_register(uint8_t reg, uint8_t value) override;

private:
    void start_check();
    void stop_check();

    std::shared_ptr<const SerializerChip> remote_;
    bool never_lock_ = false;
    std::size_t unlocked_polls_ = 0;
    PrbsResult prbs_result_;
    bool pattern_seen_ = false;
    uint64_t starts_at_check_ = 0;
};

}  // namespace pelionp::sim
