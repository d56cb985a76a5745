#pragma once
// A simulated Neuropixels 1.0 probe: its identification EEPROM contents
// (device 0xA0) and its chip (device 0xE0).
//
// The chip has a byte register file (OP_MODE 0x00, REC_MODE 0x01, CAL_MODE
// 0x02, TEST_CONFIG1 0x03, 0x04..0x07, status 0x08 read-only, SYNC 0x09,
// 0x0A, 0x0B), three write-only shift-register chains (0x0C odd channels,
// 0x0D even channels, 0x0E shank) and the chain length registers 0x0F/0x10;
// a multi-byte write to the register file auto-increments, one to a chain
// shifts every byte into that chain. Anything else is refused (NACK).
// Status bit 7 is SR_OUT_OK (see sr_chains.h). The chip keeps the last
// image of each chain and decodes it back into the configuration the probe
// now runs, from which its data stream is derived.
//
// Faults: never set SR_OUT_OK; answer every read with a stuck byte. (To
// refuse a register, arm a NackRule on the board.)
//
// Threading: every member is safe to call from any thread: the board calls
// the bus side under its lock, the board's stream thread reads the channel
// map, and tests inspect.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/chips/eeprom.h"
#include "sim/headstage.h"
#include "sim/probes/np1_source.h"
#include "sim/probes/np1_image.h"
#include "sim/probes/sr_chains.h"

namespace pelionp::sim {

struct NP1ProbeIdentity {
    uint64_t serial = 18005106831ULL;
    uint8_t version_major = 1;
    uint8_t version_minor = 0;
    std::string flex_pn = "NP2_FLEX_0";
    std::string probe_pn = "PRB_1_4_0480_1";
};

/// The probe EEPROM image (256 bytes): serial at 0..7 little-endian, version
/// at 10 and 11, flex part number at 20..39, probe part number at 40..59,
/// each part number zero-padded (cut to 20 bytes).
std::vector<uint8_t> np1_probe_eeprom(const NP1ProbeIdentity& id);

/// What the data stream of a probe shows per channel, derived from the
/// images the chip holds.
struct NP1ChannelMap {
    /// Electrode that drives each channel (the lowest connected bank), or -1.
    std::array<int, np1::CHANNELS> electrode{};
    std::array<bool, np1::CHANNELS> standby{};
};

class NP1ProbeChip final : public Chip {
public:
    static constexpr uint8_t ADDRESS = 0xE0;
    static constexpr uint8_t OP_MODE = 0x00;
    static constexpr uint8_t REC_MODE = 0x01;
    static constexpr uint8_t CAL_MODE = 0x02;
    static constexpr uint8_t TEST_CONFIG1 = 0x03;
    static constexpr uint8_t STATUS = 0x08;
    static constexpr uint8_t SYNC = 0x09;
    static constexpr uint8_t CHAIN_ODD_CHANNELS = 0x0C;
    static constexpr uint8_t CHAIN_EVEN_CHANNELS = 0x0D;
    static constexpr uint8_t CHAIN_SHANK = 0x0E;
    static constexpr uint8_t LENGTH_HIGH = 0x0F;
    static constexpr uint8_t LENGTH_LOW = 0x10;
    static constexpr uint8_t SR_OUT_OK = 0x80;

    struct Write {
        uint8_t reg;
        std::vector<uint8_t> bytes;
        friend bool operator==(const Write&, const Write&) = default;
    };

    NP1ProbeChip();

    /// Bus side. Empty / false: the chip does not acknowledge.
    std::optional<Bytes> read(uint8_t reg, std::size_t count) override;
    bool write(uint8_t reg, std::span<const uint8_t> bytes) override;

    /// Test side.
    uint8_t peek(uint8_t reg) const;
    void poke(uint8_t reg, uint8_t value);
    /// Every acknowledged write, in order; chain bytes as they came.
    std::vector<Write> writes() const;
    void clear_writes();
    std::optional<std::vector<uint8_t>> chain_wire_image(uint8_t chain) const;
    int chain_passes(uint8_t chain) const;
    std::optional<NP1ShankState> shank() const;
    std::optional<NP1BaseState> base() const;
    /// The current channel map; all channels flat before a shank upload.
    std::shared_ptr<const NP1ChannelMap> channel_map() const;

    /// Faults.
    void set_never_sr_out_ok(bool on);
    void set_stuck_read(std::optional<uint8_t> value);

private:
    static constexpr std::size_t REGISTER_FILE_SIZE = 0x0C;
    void rebuild_channel_map();  // with mutex_ held

    mutable std::mutex mutex_;
    std::array<uint8_t, REGISTER_FILE_SIZE> regs_{};
    ShiftRegisterChains chains_;
    std::vector<Write> writes_;
    std::shared_ptr<const NP1ChannelMap> map_;
    bool never_sr_out_ok_ = false;
    std::optional<uint8_t> stuck_read_;
};

class NP1ProbeSource;

/// A probe attached to an NP1 headstage (sim/headstages/np_headstages.h):
/// its EEPROM at 0xA0 and chip at 0xE0 on the headstage bus, and its data
/// as the headstage's stream source.
struct NP1ProbeSim {
    std::shared_ptr<EepromChip> eeprom;
    std::shared_ptr<NP1ProbeChip> chip;
    std::shared_ptr<NP1ProbeSource> source;
    NP1ProbeIdentity identity;
};

NP1ProbeSim attach_np1_probe(Headstage& headstage, NP1ProbeIdentity identity = {});

}  // namespace pelionp::sim
