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

    /// Power-on state after being plugged in.
    void power_on() { serializer_->reset(); }

    Answer transfer(const Transaction& transaction) override;

private:
    std::shared_ptr<SerializerChip> serializer_;
    I2CBus bus_;
    std::array<I2CBus, 2> docks_;
    std::array<std::shared_ptr<StreamSource>, 2> sources_;
    bool dock_routing_;
};

}  // namespace pelionp::sim
