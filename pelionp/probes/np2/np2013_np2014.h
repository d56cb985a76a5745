#pragma once
// Neuropixels 2.0 four-shank probe: shanks 0..3 of 1280 electrodes each on
// chains 0x1B, 0x1A, 0x19, 0x18. See NP2ProbeBase for ownership and
// threading.
#include <array>
#include <expected>
#include <string>

#include "pelionp/probes/np1/configuration.h"
#include "pelionp/probes/np2/np2_probe_base.h"

namespace pelionp::NP2 {

class PELIONP_API NP2013NP2014 : public NP2ProbeBase {
public:
    using ShankResults = std::array<std::expected<void, std::string>, MAX_SHANK_COUNT>;
    struct ShiftRegisterConfigResult {
        BaseShiftRegisterConfigResult base;
        ShankResults shanks;  ///< shank s on chain 0x1B - s
    };

    NP2013NP2014(ProbeIIC iic, ProbeInfo info);

    /// In memory only. `exclusive` disconnects the channel on every shank;
    /// bank 255 disconnects it (on `shank` only unless exclusive).
    bool selectElectrode(uint16_t channel, uint8_t shank, uint8_t bank, bool exclusive);
    /// As for the single shank, on shank `shank`'s switch selector.
    bool setReference(uint16_t channel, uint8_t shank, channelreference_t reference);

    ShiftRegisterConfigResult apply_shift_register_config(bool readcheck);
    ShiftRegisterConfigResult bist_shift_register();

    std::array<ShankConfig, MAX_SHANK_COUNT> shank_config{};
};

PELIONP_API NP2013NP2014::ShankResults apply_shank_shift_register_config(
    NP2013NP2014& probe, std::array<ShankConfig, MAX_SHANK_COUNT> shanks, bool readcheck);

}  // namespace pelionp::NP2
