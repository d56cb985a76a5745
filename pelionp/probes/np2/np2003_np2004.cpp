#include "pelionp/probes/np2/np2003_np2004.h"

#include "pelionp/probes/np2/bist_patterns.h"
#include "pelionp/probes/np2/selection.h"

namespace pelionp::NP2 {

NP2003NP2004::NP2003NP2004(ProbeIIC iic_, ProbeInfo info_) : NP2ProbeBase(std::move(iic_), std::move(info_)) {}

bool NP2003NP2004::selectElectrode(uint16_t channel, uint8_t bank, bool exclusive) {
    return select_electrode(shank_config, channel, bank, exclusive);
}

bool NP2003NP2004::setReference(uint16_t channel, channelreference_t reference) {
    // The whole value is checked: a narrowing to 8 bits would turn 259 into 3.
    return set_reference(channel_config, shank_config, channel, static_cast<int32_t>(reference));
}

std::expected<void, std::string> apply_shank_shift_register_config(NP2003NP2004& probe, ShankConfig shank,
                                                                   bool readcheck) {
    const ShankImage image = serialize_for_sr(shank);
    return upload_sr_block(probe, reg::SR_CHAIN_SHANK0, image, readcheck);
}

NP2003NP2004::ShiftRegisterConfigResult NP2003NP2004::apply_shift_register_config(bool readcheck) {
    ShiftRegisterConfigResult result;
    result.base = apply_base_shift_register_config(channel_config, readcheck);
    result.shank = apply_shank_shift_register_config(*this, shank_config, readcheck);
    return result;
}

NP2003NP2004::ShiftRegisterConfigResult NP2003NP2004::bist_shift_register() {
    ShiftRegisterConfigResult result;
    result.base = apply_base_shift_register_config(bist_channel_pattern(), false);
    result.shank = apply_shank_shift_register_config(*this, bist_single_shank_pattern(), true);
    return result;
}

}  // namespace pelionp::NP2
