#include "sim/headstage.h"

namespace pelionp::sim {

Headstage::Headstage(bool dock_routing) : serializer_(std::make_shared<SerializerChip>()), dock_routing_(dock_routing) {}

Answer Headstage::transfer(const Transaction& transaction) {
    if ((transaction.address & 0xFE) == SerializerChip::ADDRESS) return deliver(*serializer_, transaction);
    if (!serializer_->passes_through()) return std::nullopt;

    Transaction forwarded = transaction;
    if (serializer_->register_mode()) forwarded.reg.reset();

    if (bus_.find(forwarded.address)) return bus_.transfer(forwarded);
    if (!dock_routing_) return std::nullopt;
    const auto dock = serializer_->routed_dock();
    return dock ? docks_[static_cast<std::size_t>(*dock)].transfer(forwarded) : std::nullopt;
}

}  // namespace pelionp::sim
