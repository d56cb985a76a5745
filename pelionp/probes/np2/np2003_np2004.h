#pragma once
// Neuropixels 2.0 single-shank probe: one shank of 1280 electrodes on chain
// 0x1B. See NP2ProbeBase for ownership and threading.
#include <expected>
#include <string>

#include "pelionp/probes/np1/configuration.h"
#include "pelionp/probes/np2/np2_probe_base.h"

namespace pelionp::NP2 {

class PELIONP_API NP2003NP2004 : public NP2ProbeBase {
public:
    struct ShiftRegisterConfigResult {
        BaseShiftRegisterConfigResult base;
        std::expected<void, std::string> shank;  ///< chain 0x1B
    };

    NP2003NP2004(ProbeIIC iic, ProbeInfo info);

    /// In memory only. Bank 0..3, or 255 to disconnect the channel;
    /// `exclusive` disconnects the channel's other banks first.
    bool selectElectrode(uint16_t channel, uint8_t bank, bool exclusive);
    /// EXT_REF, TIP_REF, LOCAL_REF (3) or NO_REF (255); sets the shank's
    /// switch selector for the whole shank.
    bool setReference(uint16_t channel, channelreference_t reference);

    /// Base chains, then the shank chain; every upload is attempted.
    ShiftRegisterConfigResult apply_shift_register_config(bool readcheck);
    /// Loads fixed test patterns (the stored configuration stays as it is;
    /// the probe holds the patterns until the next apply).
    ShiftRegisterConfigResult bist_shift_register();

    ShankConfig shank_config;
};

PELIONP_API std::expected<void, std::string> apply_shank_shift_register_config(NP2003NP2004& probe,
                                                                               ShankConfig shank, bool readcheck);

}  // namespace pelionp::NP2
