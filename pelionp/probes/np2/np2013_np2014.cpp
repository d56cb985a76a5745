#include "pelionp/probes/np2/np2013_np2014.h"

#include "pelionp/probes/np2/bist_patterns.h"
#include "pelionp/probes/np2/selection.h"

namespace pelionp::NP2 {

NP2013NP2014::NP2013NP2014(ProbeIIC iic_, ProbeInfo info_) : NP2ProbeBase(std::move(iic_), std::move(info_)) {}

bool NP2013NP2014::selectElectrode(uint16_t channel, uint8_t shank, uint8_t bank, bool exclusive) {
    return select_electrode(shank_config, channel, shank, bank, exclusive);
}

bool NP2013NP2014::setReference(uint16_t channel, uint8_t shank, channelreference_t reference) {
    // The whole value is checked: a narrowing to 8 bits would turn 259 into 3.
    return set_reference(channel_config, shank_config, channel, shank, static_cast<int32_t>(reference));
}

NP2013NP2014::ShankResults apply_shank_shift_register_config(NP2013NP2014& probe,
                                                             std::array<ShankConfig, MAX_SHANK_COUNT> shanks,
                                                             bool readcheck) {
    NP2013NP2014::ShankResults results;
    for (std::size_t s = 0; s < MAX_SHANK_COUNT; ++s) {
        const ShankImage image = serialize_for_sr(shanks[s]);
        results[s] = upload_sr_block(probe, static_cast<uint8_t>(reg::SR_CHAIN_SHANK0 - s), image, readcheck);
    }
    return results;
}

NP2013NP2014::ShiftRegisterConfigResult NP2013NP2014::apply_shift_register_config(bool readcheck) {
    ShiftRegisterConfigResult result;
    result.base = apply_base_shift_register_config(channel_config, readcheck);
    result.shanks = apply_shank_shift_register_config(*this, shank_config, readcheck);
    return result;
}

NP2013NP2014::ShiftRegisterConfigResult NP2013NP2014::bist_shift_register() {
    std::array<ShankConfig, MAX_SHANK_COUNT> patterns;
    for (std::size_t s = 0; s < MAX_SHANK_COUNT; ++s) patterns[s] = bist_four_shank_pattern(s);
    ShiftRegisterConfigResult result;
    result.base = apply_base_shift_register_config(bist_channel_pattern(), true);
    result.shanks = apply_shank_shift_register_config(*this, patterns, true);
    return result;
}

}  // namespace pelionp::NP2
