#include "sim/headstage.h"

namespace pelionp::sim {

Headstage::Headstage(bool dock_routing) : serializer_(std::make_shared<SerializerChip>()), dock_routing_(dock_routing) {}

void Headstage::power_on() {
    serializer_->reset();
    supplies_ = 0;
    latched_up_ = false;
}

void Headstage::follow_supplies() {
    const uint8_t now = serializer_->peek(0x0E) & serializer_->peek(0x0F) & DOCK_SUPPLIES;
    const uint8_t rising = now & ~supplies_;
    if (rising != 0) {
        // In turn: exactly one supply comes on, and exactly those before it are on.
        uint8_t before = 0;
        bool in_turn = false;
        for (const uint8_t supply : DOCK_SUPPLY_ORDER) {
            if (rising == supply) in_turn = supplies_ == before;
            before |= supply;
        }
        if (!in_turn) latched_up_ = true;
    }
    supplies_ = now;
    if (supplies_ == 0) latched_up_ = false;
}

Answer Headstage::transfer(const Transaction& transaction) {
    if ((transaction.address & 0xFE) == SerializerChip::ADDRESS) {
        Answer answer = deliver(*serializer_, transaction);
        if (dock_routing_ && !transaction.is_read) follow_supplies();
        return answer;
    }
    if (!serializer_->passes_through()) return std::nullopt;

    Transaction forwarded = transaction;
    if (serializer_->register_mode()) forwarded.reg.reset();

    if (bus_.find(forwarded.address)) return bus_.transfer(forwarded);
    if (!dock_routing_ || (enforce_supplies_ && !docks_powered())) return std::nullopt;
    const auto dock = serializer_->routed_dock();
    return dock ? docks_[static_cast<std::size_t>(*dock)].transfer(forwarded) : std::nullopt;
}

}  // namespace pelionp::sim
