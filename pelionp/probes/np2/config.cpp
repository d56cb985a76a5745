#include "pelionp/probes/np2/config.h"

#include <stdexcept>

namespace pelionp::NP2 {

BaseImages serialize_for_sr(const ChannelConfigs& channels) {
    BaseImages blocks{};
    for (std::size_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) {
        const ChannelConfig& cfg = channels[c];
        if (cfg.reference > 2) throw std::runtime_error("Unknown base config reference type");
        // bit 3 standby; bits 2, 1, 0 one-hot for reference codes 0, 1, 2
        const auto nibble = static_cast<uint8_t>((cfg.standby ? 0x8 : 0x0) | (0x4 >> cfg.reference));
        const unsigned shift = ((c / 2) % 2) ? 4 : 0;
        blocks[c % 2][BASE_BLOCK_SIZE - 1 - c / 4] |= static_cast<uint8_t>(nibble << shift);
    }
    return blocks;
}

namespace {
void set_position(ShankImage& image, std::size_t n) {
    image[n / 8] |= static_cast<uint8_t>(0x80u >> (n % 8));
}
}  // namespace

ShankImage serialize_for_sr(const ShankConfig& shank) {
    ShankImage image{};
    for (std::size_t e = 0; e < ELECTRODE_COUNT; ++e) {
        if (!shank.electrodes.test(e)) continue;
        // Even electrodes run up from the middle of the chain, odd ones down.
        set_position(image, e % 2 == 0 ? 645 + e / 2 : 642 - e / 2);
    }
    if (shank.reference == SHANK_SWITCH_EXTERNAL) {
        set_position(image, 2);
        set_position(image, 1285);
    } else if (shank.reference == SHANK_SWITCH_TIP) {
        set_position(image, 643);
        set_position(image, 644);
    }
    return image;
}

}  // namespace pelionp::NP2
