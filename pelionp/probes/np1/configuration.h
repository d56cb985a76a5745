#pragma once
// The in-memory configuration of a Neuropixels 1.0 probe: electrode
// selection, references, gains, standby and AP high-pass flags, ADC trims,
// kept as the exact shank and base shift-register images the probe takes,
// plus the gain calibration tables and the per-channel corrections they give.
//
// Nothing here talks to hardware; NP1::Probe uploads the images.
//
// Threading: configured from one host thread. The decoder thread only reads
// `ap_gain_correction` / `lfp_gain_correction`, which are relaxed atomics so
// that a change while streaming is a clean per-channel switch.
//
// Setters validate their arguments, log a rejected call at error level, and
// leave everything unchanged when they reject.
#include <array>
#include <atomic>
#include <cstdint>

#include "pelionp/export.h"
#include "pelionp/probes/np1/calibration.h"

namespace pelionp {

/// Reference of a readout channel (values shared with the NP2 probes).
enum class channelreference_t : int32_t {
    EXT_REF = 0,  // external electrode
    TIP_REF = 1,  // probe tip
    INT_REF = 2,  // internal reference electrode (191/575/959)
    LOCAL_REF = 3,  // NP2 only: the channel's on-shank reference
    NO_REF = 255,   // NP2 only: the channel's reference code is kept, no shank switch
};

namespace NP1 {

class PELIONP_API ProbeConfiguration {
public:
    static constexpr int PROBE_CHANNEL_COUNT = 384;
    static constexpr int PROBE_ELECTRODE_COUNT = 960;
    static constexpr int PROBE_ADC_COUNT = 32;
    static constexpr int PROBE_SUPERFRAMESIZE = 12;
    static constexpr int SHANKCONFIGURATION_SIZE = 121;
    static constexpr int BASECONFIGURATION_SIZE = 306;
    /// Channel whose electrodes double as the internal references.
    static constexpr int INTERNAL_REFERENCE_CHANNEL = 191;
    /// Bank value of selectElectrode that disconnects the channel.
    static constexpr uint8_t DISCONNECT_BANK = 255;

    using ShankImage = std::array<uint8_t, SHANKCONFIGURATION_SIZE>;
    using BaseImage = std::array<uint8_t, BASECONFIGURATION_SIZE>;

    /// The defaults: every channel but 191 on bank 0, all references EXT,
    /// AP gain code 4, LFP gain code 0, standby and AP high-pass off, default
    /// ADC trims, internal reference bank 0, calibration factors 1.0.
    ProbeConfiguration();
    virtual ~ProbeConfiguration() = default;
    ProbeConfiguration(const ProbeConfiguration&) = delete;
    ProbeConfiguration& operator=(const ProbeConfiguration&) = delete;

    /// Connects electrode bank × 384 + channel to the channel; bank 255
    /// disconnects every electrode of the channel. `exclusive` first
    /// disconnects the channel's other electrodes.
    bool selectElectrode(uint16_t channel, uint8_t bank, bool exclusive);
    /// Sets a channel's reference and the probe-wide internal reference bank.
    bool setReference(uint16_t channel, channelreference_t ref, uint8_t internal_ref_bank);
    /// Sets a channel's gain codes (0..7) and its correction factors.
    bool setGain(uint16_t channel, int ap_gain, int lfp_gain);
    /// 0, or -1 for a channel >= 384.
    int getGain(uint32_t channel, int* ap_gain, int* lfp_gain) const;

    /// Image-only setters: they change the settings byte, not the codes
    /// getGain reports nor the corrections.
    int probe_setGain(uint32_t channel, uint8_t ap_gain, uint8_t lfp_gain);
    bool probe_setReference(uint32_t channel, channelreference_t ref);
    bool probe_setStdb(uint32_t channel, bool standby);
    bool probe_setAPCornerFrequency(uint16_t channel, bool highpass);

    /// Writes one ADC's trims into its base image and keeps its offset and
    /// threshold. Throws std::invalid_argument for a null record.
    bool probe_writeADCCalib(const ADC_Calib* calib);

    /// Replaces the gain calibration tables. The per-channel corrections
    /// follow at the channel's next setGain or selectElectrode.
    void set_gain_calibrations(const GainCalibrationTable& ap, const GainCalibrationTable& lfp);
    /// Reads both tables from a gain calibration CSV the host opened (see
    /// parse_gain_calibration). On any error the tables stay as they were;
    /// on success the corrections follow as for set_gain_calibrations.
    std::expected<void, std::string> load_gain_calibration(std::istream& in);

    /// Drives the reference electrode switches of the shank image from the
    /// reference counts; run before every upload.
    void probe_updateconfigurationbits();

    /// The lowest bank whose electrode of this channel is connected, or 255.
    int getchannelbank(int channel) const;
    /// 1 and the connected electrode, or 0 when the channel has none.
    int probe_getelectrodenr(int channel, int* electrode_out) const;
    /// Non-zero when the electrode is connected; 0 for electrodes >= 960.
    int getshankconfigbit(int electrode) const;
    /// Locates an ADC's trim fields: its image and the first bit of field A
    /// (CompP/CompN) and field B (Slope/Fine/Coarse/Cfix). 0, or -1 for an
    /// ADC outside 0..31.
    int decode_chainoffsets(int adc, uint8_t** image, int* field_a, int* field_b);

    /// Shank bit of an electrode (485 + e/2 for even e, 482 - e/2 for odd e).
    static constexpr int shank_bit(int electrode) noexcept {
        return electrode % 2 == 0 ? 485 + electrode / 2 : 482 - electrode / 2;
    }
    /// First of a channel's three one-hot reference bits in its base image.
    static constexpr int reference_bit(int channel) noexcept {
        return 3 * ((channel % 2 == 0 ? 382 - channel : 383 - channel) / 2);
    }
    /// Byte of a channel's settings in its base image.
    static constexpr int settings_byte(int channel) noexcept { return 72 + channel / 2; }

    // The model, public as on the probe; change it through the setters.
    std::array<int32_t, PROBE_CHANNEL_COUNT> ap_gain_code{};
    std::array<int32_t, PROBE_CHANNEL_COUNT> lfp_gain_code{};
    std::array<int32_t, PROBE_CHANNEL_COUNT> electrode{};
    GainCalibrationTable ap_gain_calibration{};
    GainCalibrationTable lfp_gain_calibration{};
    std::array<std::atomic<float>, PROBE_CHANNEL_COUNT> ap_gain_correction{};
    std::array<std::atomic<float>, PROBE_CHANNEL_COUNT> lfp_gain_correction{};
    ShankImage shank_config{};
    /// Channels using EXT, TIP and INT references.
    std::array<uint32_t, 3> ref_count{};
    /// [0]: channels 0, 2, ..., 382 (chain 0x0D); [1]: 1, 3, ..., 383 (chain 0x0C).
    std::array<BaseImage, 2> base_config{};
    std::array<uint8_t, PROBE_CHANNEL_COUNT> ap_gain_byte{};
    std::array<uint8_t, PROBE_CHANNEL_COUNT> lfp_gain_byte{};
    uint8_t internal_ref_bank = 0;
    struct OffsetThreshold {
        int32_t offset = 0;
        int32_t threshold = 0;
        friend bool operator==(const OffsetThreshold&, const OffsetThreshold&) = default;
    };
    std::array<OffsetThreshold, PROBE_ADC_COUNT> adc_offset_threshold{};

protected:
    void probe_setshankconfigbit(int electrode, bool on);
    /// A channel's corrections changed (after the stores above); a probe
    /// forwards them to its data path.
    virtual void corrections_changed(int /*channel*/) {}

private:
    void update_corrections(int channel);
};

}  // namespace NP1
}  // namespace pelionp
