#include "sim/probes/np1_image.h"

namespace pelionp::sim {
namespace {

bool bit(std::span<const uint8_t> image, int n) { return (image[static_cast<std::size_t>(n) / 8] >> (n % 8)) & 1U; }

int field(std::span<const uint8_t> image, int first, int width) {
    int v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<int>(bit(image, first + i)) << i;
    return v;
}

// Shank image: even electrodes climb from bit 485, odd electrodes descend
// from bit 482, so both halves of the shank meet in the middle of the chain.
int shank_bit_of(int electrode) { return electrode % 2 == 0 ? 485 + electrode / 2 : 482 - electrode / 2; }

}  // namespace

std::vector<int> NP1ShankState::electrodes_of(int channel) const {
    std::vector<int> out;
    for (int e = channel; e < np1::ELECTRODES; e += np1::CHANNELS)
        if (connected[static_cast<std::size_t>(e)]) out.push_back(e);
    return out;
}

std::vector<uint8_t> np1_unreverse(std::span<const uint8_t> wire) {
    std::vector<uint8_t> out(wire.size());
    for (std::size_t i = 0; i < wire.size(); ++i) {
        uint8_t r = 0;
        for (int b = 0; b < 8; ++b)
            if (wire[i] & (1U << b)) r |= static_cast<uint8_t>(0x80U >> b);
        out[i] = r;
    }
    return out;
}

std::optional<NP1ShankState> np1_decode_shank(std::span<const uint8_t> image) {
    if (image.size() != np1::SHANK_BYTES) return std::nullopt;
    NP1ShankState s;
    for (int e = 0; e < np1::ELECTRODES; ++e) s.connected[static_cast<std::size_t>(e)] = bit(image, shank_bit_of(e));
    s.external_reference = {bit(image, 2), bit(image, 965)};
    s.tip_reference = {bit(image, 483), bit(image, 484)};
    s.internal_reference = {bit(image, 387), bit(image, 195), bit(image, 3)};
    s.stray_bits = bit(image, 0) || bit(image, 1) || bit(image, 966) || bit(image, 967);
    return s;
}

std::optional<NP1BaseState> np1_decode_base(std::span<const uint8_t> image0, std::span<const uint8_t> image1) {
    if (image0.size() != np1::BASE_BYTES || image1.size() != np1::BASE_BYTES) return std::nullopt;
    NP1BaseState s;
    for (int c = 0; c < np1::CHANNELS; ++c) {
        const auto image = c % 2 == 0 ? image0 : image1;
        // Reference switches: channels in descending order, three bits each.
        const int group = 3 * ((c % 2 == 0 ? 382 - c : 383 - c) / 2);
        const int refs = field(image, group, 3);
        auto& ch = s.channels[static_cast<std::size_t>(c)];
        if (refs == 1) ch.reference = NP1Reference::External;
        if (refs == 2) ch.reference = NP1Reference::Tip;
        if (refs == 4) ch.reference = NP1Reference::Internal;
        // Settings bytes: channels in ascending order from byte 72.
        const uint8_t settings = image[72 + static_cast<std::size_t>(c) / 2];
        ch.ap_gain = settings & 0x07;
        ch.lfp_gain = (settings >> 3) & 0x07;
        ch.standby = (settings & 0x40) != 0;
        ch.ap_highpass = (settings & 0x80) != 0;
    }
    // ADC trims: each group of four ADCs owns 42 bits, group 0 at the top of
    // the chain (2406..2447), group 7 at the bottom (2112..2153).
    for (int adc = 0; adc < np1::ADCS; ++adc) {
        const auto image = adc % 2 == 0 ? image0 : image1;
        const bool second = (adc & 2) != 0;
        const int a = 2406 - 42 * (adc / 4) + (second ? 10 : 0);
        const int b = a + (second ? 21 : 20);
        s.adcs[static_cast<std::size_t>(adc)] = NP1AdcTrims{
            .comp_p = field(image, a, 5),
            .comp_n = field(image, a + 5, 5),
            .slope = field(image, b, 3),
            .fine = field(image, b + 3, 2),
            .coarse = field(image, b + 5, 2),
            .cfix = field(image, b + 7, 4),
        };
    }
    return s;
}

}  // namespace pelionp::sim
