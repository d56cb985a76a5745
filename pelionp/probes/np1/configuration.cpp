#include "pelionp/probes/np1/configuration.h"

#include <stdexcept>

#include <spdlog/spdlog.h>

#include "pelionp/probes/np1/image_bits.h"

namespace pelionp::NP1 {
namespace {

constexpr uint8_t SETTINGS_GAINS_MASK = 0x3F;
constexpr uint8_t SETTINGS_STANDBY = 0x40;
constexpr uint8_t SETTINGS_AP_HIGHPASS = 0x80;
constexpr int MAX_GAIN_CODE = 7;

// Reference electrode switches of the shank image, and the odd electrodes
// 191, 575, 959 that double as the internal references of banks 0, 1, 2.
constexpr int EXT_REF_BITS[] = {2, 965};
constexpr int TIP_REF_BITS[] = {483, 484};
constexpr int INT_REF_BITS[] = {387, 195, 3};

constexpr ADC_Calib default_adc(int adc) { return ADC_Calib{.adc = adc, .CompP = 16, .CompN = 16}; }

}  // namespace

ProbeConfiguration::ProbeConfiguration() {
    for (auto& table : {&ap_gain_calibration, &lfp_gain_calibration})
        for (auto& row : *table) row.fill(1.0F);
    for (auto& c : ap_gain_correction) c.store(0.0F, std::memory_order_relaxed);
    for (auto& c : lfp_gain_correction) c.store(0.0F, std::memory_order_relaxed);

    for (int channel = 0; channel < PROBE_CHANNEL_COUNT; ++channel)
        if (channel != INTERNAL_REFERENCE_CHANNEL) selectElectrode(static_cast<uint16_t>(channel), 0, true);
    for (int channel = 0; channel < PROBE_CHANNEL_COUNT; ++channel) {
        const auto c = static_cast<uint16_t>(channel);
        probe_setReference(c, channelreference_t::EXT_REF);
        setGain(c, 4, 0);
        probe_setStdb(c, false);
        probe_setAPCornerFrequency(c, false);
    }

    spdlog::debug("Using default ADC config");
    for (int adc = 0; adc < PROBE_ADC_COUNT; ++adc) {
        const auto calib = default_adc(adc);
        probe_writeADCCalib(&calib);
    }
}

void ProbeConfiguration::update_corrections(int channel) {
    const auto e = static_cast<std::size_t>(electrode[channel]);
    ap_gain_correction[channel].store(ap_gain_calibration[ap_gain_code[channel]][e], std::memory_order_relaxed);
    lfp_gain_correction[channel].store(lfp_gain_calibration[lfp_gain_code[channel]][e], std::memory_order_relaxed);
    corrections_changed(channel);
}

bool ProbeConfiguration::selectElectrode(uint16_t channel, uint8_t bank, bool exclusive) {
    if (channel == INTERNAL_REFERENCE_CHANNEL) {
        spdlog::error("invalid channel: {}. selection of reference electrode 191/575/959 not allowed", channel);
        return false;
    }
    if (channel >= PROBE_CHANNEL_COUNT) {
        spdlog::error("invalid channel: {}. index out of bound.", channel);
        return false;
    }
    if (bank == 2 && channel >= 192) {
        spdlog::error("invalid electrode bank: {} for channel {}. Only bank0/1 are valid in channel range 192..383.",
                      bank, channel);
        return false;
    }
    if (bank > 2 && bank != DISCONNECT_BANK) {
        spdlog::error("invalid electrode bank: {}", bank);
        return false;
    }

    const int e = bank * PROBE_CHANNEL_COUNT + channel;
    if (bank != DISCONNECT_BANK) {
        electrode[channel] = e;
        update_corrections(channel);
    }
    if (exclusive || bank == DISCONNECT_BANK) {
        probe_setshankconfigbit(channel, false);
        probe_setshankconfigbit(channel + PROBE_CHANNEL_COUNT, false);
        if (channel < 192) probe_setshankconfigbit(channel + 2 * PROBE_CHANNEL_COUNT, false);
        if (bank == DISCONNECT_BANK) return true;
    }
    probe_setshankconfigbit(e, true);
    return true;
}

bool ProbeConfiguration::probe_setReference(uint32_t channel, channelreference_t ref) {
    if (channel >= PROBE_CHANNEL_COUNT) {
        spdlog::error("invalid channel: {}", channel);
        return false;
    }
    const auto r = static_cast<int32_t>(ref);
    if (r < 0 || r > 2) {
        spdlog::error("invalid channel reference: {}", r);
        return false;
    }
    const int c = static_cast<int>(channel);
    auto& image = base_config[c % 2];
    const int first = reference_bit(c);
    for (int i = 0; i < 3; ++i) {
        if (image_bits::get(image, first + i)) {
            image_bits::put(image, first + i, false);
            --ref_count[i];
        }
    }
    image_bits::put(image, first + r, true);
    ++ref_count[r];
    return true;
}

bool ProbeConfiguration::setReference(uint16_t channel, channelreference_t ref, uint8_t bank) {
    if (bank >= 3) {
        spdlog::error("invalid channel internal reference: {}", bank);
        return false;
    }
    // NB: the bank is stored only once the channel and reference passed, so
    // that a rejected call changes nothing.
    if (!probe_setReference(channel, ref)) return false;
    internal_ref_bank = bank;
    return true;
}

int ProbeConfiguration::probe_setGain(uint32_t channel, uint8_t ap_gain, uint8_t lfp_gain) {
    if (channel >= PROBE_CHANNEL_COUNT) {
        spdlog::error("invalid channel: {}", channel);
        return -1;
    }
    if (ap_gain > MAX_GAIN_CODE) {
        spdlog::error("invalid AP gain: {}", ap_gain);
        return -1;
    }
    if (lfp_gain > MAX_GAIN_CODE) {
        spdlog::error("invalid LFP gain: {}", lfp_gain);
        return -1;
    }
    auto& byte = base_config[channel % 2][settings_byte(static_cast<int>(channel))];
    byte = static_cast<uint8_t>((byte & ~SETTINGS_GAINS_MASK) | ap_gain | (lfp_gain << 3));
    return 0;
}

bool ProbeConfiguration::setGain(uint16_t channel, int ap_gain, int lfp_gain) {
    // The codes index the calibration tables: refuse them as ints, before the
    // narrowing to the image's 8-bit arguments could wrap 256 onto 0.
    if (channel < PROBE_CHANNEL_COUNT) {
        if (ap_gain < 0 || ap_gain > MAX_GAIN_CODE) {
            spdlog::error("invalid AP gain: {}", ap_gain);
            return false;
        }
        if (lfp_gain < 0 || lfp_gain > MAX_GAIN_CODE) {
            spdlog::error("invalid LFP gain: {}", lfp_gain);
            return false;
        }
    }
    if (probe_setGain(channel, static_cast<uint8_t>(ap_gain), static_cast<uint8_t>(lfp_gain)) != 0) return false;
    ap_gain_code[channel] = ap_gain;
    lfp_gain_code[channel] = lfp_gain;
    ap_gain_byte[channel] = static_cast<uint8_t>(ap_gain);
    lfp_gain_byte[channel] = static_cast<uint8_t>(lfp_gain);
    update_corrections(channel);
    return true;
}

int ProbeConfiguration::getGain(uint32_t channel, int* ap_gain, int* lfp_gain) const {
    if (channel >= PROBE_CHANNEL_COUNT) return -1;
    *ap_gain = ap_gain_byte[channel];
    *lfp_gain = lfp_gain_byte[channel];
    return 0;
}

namespace {
bool put_settings_flag(std::array<ProbeConfiguration::BaseImage, 2>& images, uint32_t channel, uint8_t flag,
                       bool on) {
    if (channel >= ProbeConfiguration::PROBE_CHANNEL_COUNT) {
        spdlog::error("invalid channel: {}", channel);
        return false;
    }
    auto& byte = images[channel % 2][ProbeConfiguration::settings_byte(static_cast<int>(channel))];
    byte = on ? static_cast<uint8_t>(byte | flag) : static_cast<uint8_t>(byte & ~flag);
    return true;
}
}  // namespace

bool ProbeConfiguration::probe_setStdb(uint32_t channel, bool standby) {
    return put_settings_flag(base_config, channel, SETTINGS_STANDBY, standby);
}

bool ProbeConfiguration::probe_setAPCornerFrequency(uint16_t channel, bool highpass) {
    return put_settings_flag(base_config, channel, SETTINGS_AP_HIGHPASS, highpass);
}

int ProbeConfiguration::getchannelbank(int channel) const {
    for (int bank = 0; bank < 3; ++bank) {
        const int e = channel + PROBE_CHANNEL_COUNT * bank;
        if (e < PROBE_ELECTRODE_COUNT && getshankconfigbit(e)) return bank;
    }
    return DISCONNECT_BANK;
}

int ProbeConfiguration::probe_getelectrodenr(int channel, int* electrode_out) const {
    const int bank = getchannelbank(channel);
    if (bank < 0 || bank > 2) return 0;
    *electrode_out = bank * PROBE_CHANNEL_COUNT + channel;
    return 1;
}

int ProbeConfiguration::getshankconfigbit(int e) const {
    if (e < 0 || e >= PROBE_ELECTRODE_COUNT) return 0;
    return image_bits::get(shank_config, shank_bit(e)) ? 1 : 0;
}

void ProbeConfiguration::probe_setshankconfigbit(int e, bool on) {
    if (e < 0 || e >= PROBE_ELECTRODE_COUNT) return;
    image_bits::put(shank_config, shank_bit(e), on);
}

int ProbeConfiguration::decode_chainoffsets(int adc, uint8_t** image, int* field_a, int* field_b) {
    // Negative numbers would index before the images.
    if (adc < 0 || adc >= PROBE_ADC_COUNT) {
        spdlog::error("ADC channel out of bound: {}", adc);
        return -1;
    }
    *image = base_config[adc % 2].data();
    const int group = adc / 4;
    const bool second = (adc & 2) != 0;
    *field_a = 2406 - 42 * group + (second ? 10 : 0);
    *field_b = *field_a + (second ? 21 : 20);
    return 0;
}

bool ProbeConfiguration::probe_writeADCCalib(const ADC_Calib* calib) {
    if (calib == nullptr) throw std::invalid_argument("probe_writeADCCalib: calib must not be null");
    const auto& c = *calib;
    if (c.adc < 0 || c.adc >= PROBE_ADC_COUNT) {
        spdlog::error("ADC channel out of bound: {}", c.adc);
        return false;
    }
    struct Range {
        const char* message;
        int32_t value;
        int32_t max;
    };
    const Range checks[] = {
        {"ADC{} CompP out of bound: {}", c.CompP, 31}, {"ADC{} CompN out of bound: {}", c.CompN, 31},
        {"ADC{} Cfix out of bound: {}", c.Cfix, 15},   {"ADC{} Slope out of bound: {}", c.Slope, 7},
        {"ADC{} Coarse out of bound: {}", c.Coarse, 3}, {"ADC{} Fine out of bound: {}", c.Fine, 3},
    };
    for (const auto& check : checks) {
        if (check.value < 0 || check.value > check.max) {
            spdlog::error(fmt::runtime(check.message), c.adc, check.value);
            return false;
        }
    }

    uint8_t* data = nullptr;
    int a = 0;
    int b = 0;
    decode_chainoffsets(c.adc, &data, &a, &b);
    const std::span<uint8_t> image(data, BASECONFIGURATION_SIZE);
    const auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
    image_bits::put_field(image, a + 0, 5, u(c.CompP));
    image_bits::put_field(image, a + 5, 5, u(c.CompN));
    image_bits::put_field(image, b + 0, 3, u(c.Slope));
    image_bits::put_field(image, b + 3, 2, u(c.Fine));
    image_bits::put_field(image, b + 5, 2, u(c.Coarse));
    image_bits::put_field(image, b + 7, 4, u(c.Cfix));
    adc_offset_threshold[c.adc] = {c.offset, c.threshold};
    return true;
}

void ProbeConfiguration::set_gain_calibrations(const GainCalibrationTable& ap, const GainCalibrationTable& lfp) {
    ap_gain_calibration = ap;
    lfp_gain_calibration = lfp;
}

std::expected<void, std::string> ProbeConfiguration::load_gain_calibration(std::istream& in) {
    auto parsed = parse_gain_calibration(in);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    set_gain_calibrations((*parsed)->ap, (*parsed)->lfp);
    return {};
}

void ProbeConfiguration::probe_updateconfigurationbits() {
    const auto switches = [this](std::span<const int> bits, bool on) {
        for (int bit : bits) image_bits::put(shank_config, bit, on);
        return on ? "enabled" : "disabled";
    };
    spdlog::info("{} channels use EXT electrode reference", ref_count[0]);
    spdlog::info("  -> ExtElectrode1/2 {}.", switches(EXT_REF_BITS, ref_count[0] != 0));
    spdlog::info("{} channels use TIP electrode reference", ref_count[1]);
    spdlog::info("  -> TipElectrode1/2 {}.", switches(TIP_REF_BITS, ref_count[1] != 0));

    switches(INT_REF_BITS, false);
    if (ref_count[2] != 0) {
        spdlog::info("{} channels have internal references selected. Connecting to internal reference bank {}",
                     ref_count[2], internal_ref_bank);
        probe_setshankconfigbit(internal_ref_bank * PROBE_CHANNEL_COUNT + INTERNAL_REFERENCE_CHANNEL, true);
    } else {
        spdlog::info("no internal references selected. {}", 0);
    }
}

}  // namespace pelionp::NP1
