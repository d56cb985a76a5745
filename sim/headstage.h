#pragma once
// A pluggable headstage: the serializer of the link and the chips behind it.
//
// The serializer always answers at its own address. The chips behind it
// answer only while it passes I2C through (configuration link, or I2C
// register mode); in register mode it forwards frames without their
// register byte, the way EEPROMs expect their address. Behind the
// serializer sit the headstage bus (EEPROMs, an NP1 probe) and, when dock
// routing is on, two dock buses of which serializer GPIO 0x0F selects one.
//
// With dock routing (an NP2 headstage) the docks are powered from three
// serializer GPIO lines: 0x0F bits 3, 5 and 2 (driven where 0x0E enables
// them). The probes come up only if those supplies are switched on one at a
// time in that order; a supply switched on out of turn (or two at once)
// leaves the probes latched up, silent on I2C, until all three are off
// again. Supplies are followed at each write to the serializer that arrives
// over I2C (a `poke` bypasses them).
//
// Threading: none of its own; the Board serialises every access.
#include <array>
#include <memory>
#include <utility>

#include "sim/chips/serializer.h"
#include "sim/i2c_bus.h"
#include "sim/stream_source.h"

namespace pelionp::sim {

class Headstage final : public I2CTarget {
public:
    /// A headstage with a serializer only; attach the rest to `bus()` or a dock.
    explicit Headstage(bool dock_routing = false);

    [[nodiscard]] SerializerChip& serializer() { return *serializer_; }
    [[nodiscard]] std::shared_ptr<const SerializerChip> serializer_link() const { return serializer_; }
    /// Chips always behind the serializer.
    [[nodiscard]] I2CBus& bus() { return bus_; }
    /// The bus of dock 0 or 1 (only reachable with dock routing on).
    [[nodiscard]] I2CBus& dock(int index) { return docks_.at(static_cast<std::size_t>(index)); }
    [[nodiscard]] bool dock_routing() const { return dock_routing_; }

    /// What the headstage streams: slot 0 is the NP1 probe, or dock 0 of an
    /// NP2 headstage; slot 1 is dock 1. The board asks for the source when it
    /// builds each buffer, so a swap takes effect at the next buffer.
    void set_stream_source(int slot, std::shared_ptr<StreamSource> source) {
        sources_.at(static_cast<std::size_t>(slot)) = std::move(source);
    }
    [[nodiscard]] std::shared_ptr<StreamSource> stream_source(int slot) const {
        return sources_.at(static_cast<std::size_t>(slot));
    }

    /// Power-on state after being plugged in: supplies off.
    void power_on();

    /// Dock supplies (0x0F bits 3, 5, 2) switched on now, as GPIO bits.
    [[nodiscard]] uint8_t dock_supplies() const { return supplies_; }
    /// Whether the docks' probes answer: all supplies on, in order.
    [[nodiscard]] bool docks_powered() const { return supplies_ == DOCK_SUPPLIES && !latched_up_; }
    /// Knob: docks answer whatever their supplies (no power-up needed).
    void set_supply_order_enforced(bool on) { enforce_supplies_ = on; }

    /// GPIO bits of the dock supplies, in the order they must come up.
    static constexpr std::array<uint8_t, 3> DOCK_SUPPLY_ORDER{0x08, 0x20, 0x04};
    static constexpr uint8_t DOCK_SUPPLIES = 0x2C;

    Answer transfer(const Transaction& transaction) override;

private:
    void follow_supplies();

    std::shared_ptr<SerializerChip> serializer_;
    I2CBus bus_;
    std::array<I2CBus, 2> docks_;
    std::array<std::shared_ptr<StreamSource>, 2> sources_;
    bool dock_routing_;
    uint8_t supplies_ = 0;
    bool latched_up_ = false;
    bool enforce_supplies_ = true;
};

}  // namespace pelionp::sim
