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
// Threading: none of its own; the Board serialises every access.
#include <array>
#include <memory>

#include "sim/chips/serializer.h"
#include "sim/i2c_bus.h"

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

    /// Power-on state after being plugged in.
    void power_on() { serializer_->reset(); }

    Answer transfer(const Transaction& transaction) override;

private:
    std::shared_ptr<SerializerChip> serializer_;
    I2CBus bus_;
    std::array<I2CBus, 2> docks_;
    bool dock_routing_;
};

}  // namespace pelionp::sim
