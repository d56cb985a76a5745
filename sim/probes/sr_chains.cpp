#include "sim/probes/sr_chains.h"

#include <algorithm>

namespace pelionp::sim {

ShiftRegisterChains::ShiftRegisterChains(Layout layout) : layout_(std::move(layout)) {
    for (auto reg : layout_.chain_registers) chains_[reg];
}

bool ShiftRegisterChains::is_chain(uint8_t reg) const { return chains_.contains(reg); }

void ShiftRegisterChains::write_length(uint8_t reg, std::span<const uint8_t> bytes) {
    for (auto b : bytes) {
        if (reg == layout_.length_high) length_high_ = b;
        else if (reg == layout_.length_low) length_low_ = b;
        ++reg;
    }
    // A new length starts a new pass on every chain.
    for (auto& [_, chain] : chains_) {
        chain.shifting.clear();
        chain.overrun = false;
    }
    out_ok_ = false;
}

void ShiftRegisterChains::write_chain(uint8_t reg, std::span<const uint8_t> bytes) {
    auto& chain = chains_.at(reg);
    for (auto b : bytes) {
        chain.shifting.push_back(b);
        if (chain.shifting.size() > announced()) {
            chain.overrun = true;
            out_ok_ = false;
        } else if (chain.shifting.size() == announced() && !chain.overrun) {
            // The chain shifts its previous image out while this one goes in.
            out_ok_ = chain.held.has_value() && *chain.held == chain.shifting;
            chain.held = chain.shifting;
            ++chain.passes;
        } else {
            out_ok_ = false;
        }
    }
}

std::optional<std::vector<uint8_t>> ShiftRegisterChains::image(uint8_t chain) const {
    const auto it = chains_.find(chain);
    if (it == chains_.end()) return std::nullopt;
    return it->second.held;
}

int ShiftRegisterChains::passes(uint8_t chain) const {
    const auto it = chains_.find(chain);
    return it == chains_.end() ? 0 : it->second.passes;
}

}  // namespace pelionp::sim
