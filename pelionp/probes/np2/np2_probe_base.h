#pragma once
// What both Neuropixels 2.0 probe types share: the I2C route through the
// headstage's dock selection, identity, per-channel base configuration
// (standby, reference), gain correction, and the data half of the probe's
// stream: an NP2::ProbeStream (decoder worker, gain snapshot, conversion,
// packet queue, counters).
//
// Ownership: the probe owns its stream, which shares its packet queue with
// the host. The stream's callbacks point at the stream, so a probe is built
// in place (NP2::init does) and never copied or moved.
//
// Threading: no lock of its own. Register operations run on the caller's
// thread; I2C transactions are serialised below ProbeIIC. The data path runs
// on the stream's decoder thread; `load_gain_calibration` may run while data
// flows (the new table applies from the next whole set on). The host drains
// `stream().packets()`.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <istream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "pelionp/demux/sid.h"
#include "pelionp/decoders/np2_gain_conversion.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "pelionp/export.h"
#include "pelionp/links/probe_iic.h"
#include "pelionp/probes/np1/modes.h"
#include "pelionp/probes/np2/config.h"
#include "pelionp/probes/np2/registers.h"
#include "pelionp/probes/probe_info.h"

namespace pelionp::NP2 {

/// Outcome of the two base chain uploads.
struct BaseShiftRegisterConfigResult {
    std::expected<void, std::string> even;  ///< chain 0x17, channels 0, 2, 4, ...
    std::expected<void, std::string> odd;   ///< chain 0x16, channels 1, 3, 5, ...
};

class PELIONP_API NP2ProbeBase {
public:
    static constexpr uint8_t DEVICE_ADDR = PROBE_DEVICE_ADDR;
    /// Queued sets at or above which a finished set is dropped.
    static constexpr std::size_t QUEUE_MAX_ELEMENTS = AP_QUEUE_MAX_ELEMENTS;

    /// Starts the decoder of the probe's stream (8 + port for dock 0, 12 +
    /// port otherwise). Throws std::runtime_error("Invalid port for NP2
    /// probe") for a port outside 0..3.
    NP2ProbeBase(ProbeIIC iic, ProbeInfo info);
    ~NP2ProbeBase();
    NP2ProbeBase(const NP2ProbeBase&) = delete;
    NP2ProbeBase& operator=(const NP2ProbeBase&) = delete;

    /// The stream this probe's data arrives on.
    demux::SID stream_id() const noexcept { return stream_.sid(); }
    /// The probe's data path; hand `stream().worker()` to start_stream.
    [[nodiscard]] ProbeStream& stream() noexcept { return stream_; }

    /// Uploads the base chains: 0x17 (even channels), then 0x16 (odd),
    /// the second whatever the first gave. Throws std::runtime_error for a
    /// reference code other than 0..2.
    BaseShiftRegisterConfigResult apply_base_shift_register_config(ChannelConfigs channels, bool readcheck);

    /// In memory only; false (with an error log) for a channel >= 384.
    bool setStdb(uint16_t channel, bool standby);

    /// REC_MODE then OP_MODE. False with an error log on failure.
    bool setOPMODE(probe_opmode_t mode);
    /// Read-modify-write of CAL_MODE bits 6..7; ADC_MODE is refused.
    bool setCALMODE(testinputmode_t mode);
    bool setTestConfig(bool on);
    /// Writes and reads back 0xFF, 0xAB, 0x55, 0x00 through SYNC.
    bool bist_iic();

    /// Replaces the gain table from a CSV stream; on any error the table is
    /// unchanged (see read_gain_calibration for the format).
    std::expected<void, std::string> load_gain_calibration(std::istream& stream);
    /// The factor the data path uses for a channel now.
    float gain_factor(std::size_t channel) const noexcept;

    ProbeIIC iic;
    ProbeInfo info;
    ChannelConfigs channel_config{};

private:
    ProbeStream stream_;
};

/// Stream of an NP2 probe on `port` in `dock`. Throws
/// std::runtime_error("Invalid port for NP2 probe") for a port outside 0..3.
PELIONP_API demux::SID np2_stream_id(int port, Dock dock);

/// Uploads one chain image: length registers once (low byte to 0x1D, high
/// byte to 0x1C), then the bytes in transactions of at most 250; with
/// readcheck the bytes a second time and SR_OUT_OK of the status register.
PELIONP_API std::expected<void, std::string> upload_sr_block(NP2ProbeBase& probe, uint8_t chain,
                                                             std::span<const uint8_t> bytes, bool readcheck);

}  // namespace pelionp::NP2
