#pragma once
// NP1::Probe: one Neuropixels 1.0 probe behind an NP1 headstage.
//
// It holds the probe's complete configuration (ProbeConfiguration) and
// writes it to the probe's three shift-register chains when asked; setters
// never talk to the probe. Mode, test-signal and self-test operations do,
// at once. It owns the data half of its port's NP1 stream, an
// NP1::ProbeStream (decoder worker, gain snapshot, packet assembly, packet
// queue, counters), and forwards every change of its gain corrections to it.
//
// Ownership: created only by `init`, owned through std::unique_ptr, neither
// copied nor moved. Destruction stops the decoder first.
// Threading: configure from one host thread; the probe takes no lock (I2C
// transactions are serialised by the UART lock, sequences are not atomic).
// The decoder thread runs the data callbacks inside the stream, which
// touch nothing of the probe; the host drains `stream().packets()`.
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "pelionp/demux/sid.h"
#include "pelionp/decoders/np1_packet_assembly.h"
#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/demux/electrode_packet.h"
#include "pelionp/export.h"
#include "pelionp/links/port_iic.h"
#include "pelionp/links/serdes.h"
#include "pelionp/probes/np1/configuration.h"
#include "pelionp/probes/np1/modes.h"
#include "pelionp/probes/np1/probe_chip.h"
#include "pelionp/probes/probe_info.h"

namespace pelionp {

namespace NP1 {

class PELIONP_API Probe : public ProbeConfiguration {
public:
    static constexpr uint8_t DEVICE_ADDR = ProbeChip::DEVICE_ADDR;
    /// Queued packets at or above which a finished packet is dropped.
    static constexpr std::size_t QUEUE_MAX_ELEMENTS = 131072;
    static_assert(QUEUE_MAX_ELEMENTS == PACKET_QUEUE_MAX_ELEMENTS);

    /// Outcome of each chain of an upload, all three always attempted.
    struct ShiftRegisterConfigResult {
        std::expected<void, std::string> shank;  // chain 0x0E
        std::expected<void, std::string> base0;  // chain 0x0D, channels 0, 2, ..., 382
        std::expected<void, std::string> base1;  // chain 0x0C, channels 1, 3, ..., 383
    };

    /// Reads the probe EEPROM (0xA0 behind the serializer), zeroes the
    /// control registers and runs the REC_MODE start sequence. Does not
    /// upload the configuration.
    static std::expected<std::unique_ptr<Probe>, std::string> init(Serializer& serializer);

    /// The NP1 stream of a port: SID 0..3. Throws std::runtime_error
    /// "Invalid port for NP1 probe" for any other port.
    static demux::SID stream_of_port(int port);

    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    ~Probe() override;

    /// The probe's data path; hand `stream().worker()` to start_stream.
    [[nodiscard]] ProbeStream& stream() noexcept { return stream_; }

    /// Uploads the shank image (never read-checked: the chip's shank readback
    /// is unreliable) and both base images (read-checked).
    ShiftRegisterConfigResult apply_shift_register_config(bool checkShank);

    // Modes and test signal: one register access each.
    bool setOPMODE(probe_opmode_t mode);
    bool setCALMODE(testinputmode_t mode);
    bool setTestConfig(bool on);
    bool setTestSignal(bool on);

    // Self tests.
    /// Writes and reads back 0xFF, 0xAB, 0x55, 0x00 through SYNC.
    bool bist_iic();
    /// REC_MODE 0xD0, registers 0x02..0x07 zero, OP_MODE digital test.
    int bist_PSB();
    int bist_channel();
    int bist_pixel();
    /// Undoes bist_channel / bist_pixel.
    int bist_off();
    /// Shank chain gets a fixed pattern (no read check), base chains the
    /// current images (read-checked). The next upload restores the shank.
    ShiftRegisterConfigResult bist_shift_register();

    PortIIC iic;
    ProbeInfo info;

private:
    explicit Probe(const PortIIC& port);

    void corrections_changed(int channel) override;

    ProbeStream stream_;
};

/// One chain upload: the length registers, then the image bit-reversed one
/// byte per I2C write; with `readcheck` all of it twice, then SR_OUT_OK.
PELIONP_API std::expected<void, std::string> write_sr_chain(Probe& probe, uint8_t chain,
                                                            std::span<const uint8_t> bytes, bool readcheck);

}  // namespace NP1
}  // namespace pelionp
