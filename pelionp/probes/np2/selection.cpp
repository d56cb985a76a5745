#include "pelionp/probes/np2/selection.h"

#include <spdlog/spdlog.h>

#include "pelionp/probes/np2/electrode_map.h"

namespace pelionp::NP2 {

namespace {

bool valid_channel(uint16_t channel) {
    if (channel < PROBE_CHANNEL_COUNT) return true;
    spdlog::error("Invalid channel number: {}", channel);
    return false;
}

bool valid_shank(uint8_t shank) {
    if (shank < MAX_SHANK_COUNT) return true;
    spdlog::error("Invalid shank number: {}", shank);
    return false;
}

bool valid_bank(uint8_t bank) {
    if (bank < BANK_COUNT || bank == BANK_DISCONNECT) return true;
    spdlog::error("Invalid bank number: {}", bank);
    return false;
}

template <typename Map>
void disconnect_all_banks(ShankConfig& shank, Map electrode_of_bank) {
    for (uint8_t b = 0; b < BANK_COUNT; ++b) {
        const uint32_t e = electrode_of_bank(b);
        if (e < ELECTRODE_COUNT) shank.electrodes.reset(e);
    }
}

}  // namespace

std::optional<ReferenceEffect> reference_effect(int32_t channelreference) noexcept {
    switch (channelreference) {
        case REF_EXT: return ReferenceEffect{0, SHANK_SWITCH_EXTERNAL};
        case REF_TIP: return ReferenceEffect{1, SHANK_SWITCH_TIP};
        case REF_LOCAL: return ReferenceEffect{2, SHANK_SWITCH_NONE};
        case REF_NONE: return ReferenceEffect{std::nullopt, SHANK_SWITCH_NONE};
        default: return std::nullopt;
    }
}

bool select_electrode(ShankConfig& shank, uint16_t channel, uint8_t bank, bool exclusive) {
    if (!valid_channel(channel) || !valid_bank(bank)) return false;
    if (exclusive || bank == BANK_DISCONNECT) {
        disconnect_all_banks(shank, [&](uint8_t b) { return single_shank_electrode(channel, b); });
        if (bank == BANK_DISCONNECT) return true;
    }
    const uint32_t e = single_shank_electrode(channel, bank);
    if (e >= ELECTRODE_COUNT) {
        spdlog::error("Invalid electrode for channel {} bank {}", channel, bank);
        return false;
    }
    shank.electrodes.set(e);
    return true;
}

bool select_electrode(std::array<ShankConfig, MAX_SHANK_COUNT>& shanks, uint16_t channel, uint8_t shank,
                      uint8_t bank, bool exclusive) {
    if (!valid_channel(channel) || !valid_shank(shank) || !valid_bank(bank)) return false;
    auto disconnect_on = [&](uint8_t s) {
        disconnect_all_banks(shanks[s], [&](uint8_t b) { return four_shank_electrode(channel, s, b); });
    };
    if (exclusive) {
        for (uint8_t s = 0; s < MAX_SHANK_COUNT; ++s) disconnect_on(s);
    } else if (bank == BANK_DISCONNECT) {
        disconnect_on(shank);
    }
    if (bank == BANK_DISCONNECT) return true;
    const uint32_t e = four_shank_electrode(channel, shank, bank);
    if (e >= ELECTRODE_COUNT) {
        spdlog::error("Invalid electrode for channel {} shank {} bank {}", channel, shank, bank);
        return false;
    }
    shanks[shank].electrodes.set(e);
    return true;
}

namespace {
bool apply_reference(ChannelConfig& channel, ShankConfig& shank, int32_t channelreference) {
    const auto effect = reference_effect(channelreference);
    if (!effect) {
        spdlog::error("Invalid reference value: {}", channelreference);
        return false;
    }
    if (effect->channel_code) channel.reference = *effect->channel_code;
    shank.reference = effect->shank_switch;
    return true;
}
}  // namespace

bool set_reference(ChannelConfigs& channels, ShankConfig& shank, uint16_t channel, int32_t channelreference) {
    if (!valid_channel(channel)) return false;
    return apply_reference(channels[channel], shank, channelreference);
}

bool set_reference(ChannelConfigs& channels, std::array<ShankConfig, MAX_SHANK_COUNT>& shanks, uint16_t channel,
                   uint8_t shank, int32_t channelreference) {
    if (!valid_channel(channel) || !valid_shank(shank)) return false;
    return apply_reference(channels[channel], shanks[shank], channelreference);
}

bool set_standby(ChannelConfigs& channels, uint16_t channel, bool on) {
    if (!valid_channel(channel)) return false;
    channels[channel].standby = on ? 1 : 0;
    return true;
}

}  // namespace pelionp::NP2
