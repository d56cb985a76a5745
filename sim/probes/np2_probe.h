#pragma once
// Simulated Neuropixels 2.0 probe, one per dock of an NP2 headstage: the
// identification EEPROM image (device 0xA0) and the probe chip (device
// 0x20) with its control registers and shift-register chains. Written from
// the wire formats: the chip keeps what each chain last received and can
// decode it back, so a test compares what the host meant with what the
// probe got.
//
// Threading: register traffic arrives on the bus thread, samples are drawn
// on the stream producer thread; one internal mutex guards the chip state.
// Inspection calls may come from any thread.
#include <array>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/chips/eeprom.h"
#include "sim/headstage.h"
#include "sim/i2c_bus.h"

namespace pelionp::sim {

struct NP2ProbeIdentity {
    uint64_t serial = 0;
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    std::string flex_pn;
    /// "NP2013"/"NP2014"/"NP2010"/"PRB2_4_2_0640_0" give four shanks; anything
    /// else one shank.
    std::string probe_pn;
};

/// 96-byte NP2 probe EEPROM layout: serial LE at 0..7, version at 16/17,
/// flex part number at 32..63, probe part number at 64..95 (zero padded;
/// a 32-character number fills its field without terminator).
std::vector<uint8_t> np2_probe_eeprom_image(const NP2ProbeIdentity& id);

/// One channel as the base chains describe it.
struct NP2ChannelState {
    bool standby = false;
    /// Reference code 0..2; nullopt when the one-hot group is broken.
    std::optional<uint8_t> reference;
    friend bool operator==(const NP2ChannelState&, const NP2ChannelState&) = default;
};

/// One shank as its chain describes it.
struct NP2ShankState {
    std::bitset<1280> electrodes;
    /// 0 none, 1 tip, 2 external; nullopt for an inconsistent switch pattern
    /// (half a pair, both pairs, or a reserved bit set).
    std::optional<uint8_t> switch_selector = 0;
    friend bool operator==(const NP2ShankState&, const NP2ShankState&) = default;
};

/// The probe chip at 0x20.
class NP2ProbeChip final : public Chip {
public:
    static constexpr uint8_t ADDRESS = 0x20;
    static constexpr std::size_t CHANNELS = 384;
    static constexpr std::size_t ELECTRODES = 1280;
    static constexpr std::size_t BASE_CHAIN_BYTES = 96;
    static constexpr std::size_t SHANK_CHAIN_BYTES = 161;

    struct Write {
        uint8_t reg;
        std::vector<uint8_t> data;
    };
    /// Test knob: returning true makes the chip refuse (NACK) that write.
    using WriteFault = std::function<bool(uint8_t reg, std::span<const uint8_t> data)>;

    explicit NP2ProbeChip(std::size_t shank_count);

    std::size_t shank_count() const noexcept { return shank_count_; }

    /// Bus side. An unknown register, a read of a chain or a write to the
    /// status register is not acknowledged.
    std::optional<Bytes> read(uint8_t reg, std::size_t count) override;
    bool write(uint8_t reg, std::span<const uint8_t> data) override;

    // Inspection.
    uint8_t register_value(uint8_t reg) const;
    /// The last `chain length` bytes the chain received, first byte first.
    std::vector<uint8_t> chain_image(uint8_t reg) const;
    std::array<NP2ChannelState, CHANNELS> channels() const;
    NP2ShankState shank(std::size_t s) const;
    std::vector<Write> writes() const;
    void clear_writes();

    void set_write_fault(WriteFault fault);
    /// Test knob: keep SR_OUT_OK clear whatever the chains received.
    void set_sr_out_stuck(bool stuck);

    /// For each channel: the (shank, electrode) its signal comes from, or
    /// nullopt when the channel is in standby or reaches no electrode.
    struct Source {
        uint8_t shank;
        uint16_t electrode;
        friend bool operator==(const Source&, const Source&) = default;
    };
    std::array<std::optional<Source>, CHANNELS> sources() const;
    /// Grows whenever a chain upload may have changed `sources()`; cheap
    /// enough for the stream thread to look at every tick.
    uint64_t sources_generation() const noexcept { return sources_generation_.load(std::memory_order_acquire); }

private:
    struct Chain {
        std::size_t length;
        std::deque<uint8_t> shifted;  // last 2 x length bytes received
    };
    Chain* chain(uint8_t reg);
    const Chain* chain(uint8_t reg) const;
    std::vector<uint8_t> image_locked(const Chain& c) const;
    std::array<NP2ChannelState, CHANNELS> channels_locked() const;
    NP2ShankState shank_locked(std::size_t s) const;
    void update_sources_locked();

    const std::size_t shank_count_;
    mutable std::mutex mutex_;
    std::array<uint8_t, 0x0B> regs_{};
    uint8_t length_high_ = 0, length_low_ = 0;
    std::array<Chain, 6> chains_;  // 0x16..0x1B
    uint8_t last_chain_ = 0;
    bool status_ok_ = false;
    bool sr_out_stuck_ = false;
    WriteFault write_fault_;
    std::vector<Write> writes_;
    std::array<std::optional<Source>, CHANNELS> sources_{};
    std::atomic<uint64_t> sources_generation_{0};
};

/// Deterministic signal of one electrode: what the probe's NeuralSignal
/// (sim/probes/neural_signal.h) gives it wideband (LFP, noise, spikes), as a
/// 12-bit code centred on 2048. Repeats exactly every SIGNAL_PERIOD_TICKS
/// frames (sim/probes/tick_cache.h), which lets the stream reuse its words.
uint16_t np2_electrode_signal(uint64_t serial, uint8_t shank, uint16_t electrode, uint64_t frame);

/// The 384 codes of superframe `frame` of a probe whose chip connects
/// `sources`: np2_electrode_signal per connected channel, 2048 elsewhere.
std::array<uint16_t, NP2ProbeChip::CHANNELS> np2_superframe(
    uint64_t serial, const std::array<std::optional<NP2ProbeChip::Source>, NP2ProbeChip::CHANNELS>& sources,
    uint64_t frame);

/// A docked probe: identification EEPROM, probe chip and signal source.
class NP2Probe {
public:
    static constexpr uint8_t EEPROM_ADDRESS = 0xA0;

    explicit NP2Probe(NP2ProbeIdentity identity);

    /// Attaches the EEPROM (0xA0) and the chip (0x20) to a dock bus of an
    /// NP2 headstage, where they answer while the dock is routed.
    void dock_into(I2CBus& dock);

    const NP2ProbeIdentity& identity() const noexcept { return identity_; }
    EepromChip& eeprom() noexcept { return *eeprom_; }
    NP2ProbeChip& chip() noexcept { return *chip_; }
    const NP2ProbeChip& chip() const noexcept { return *chip_; }

    /// The 384 codes of superframe `frame`, by channel; standby or
    /// unconnected channels sit flat at 2048.
    std::array<uint16_t, NP2ProbeChip::CHANNELS> superframe(uint64_t frame) const;

private:
    NP2ProbeIdentity identity_;
    std::shared_ptr<EepromChip> eeprom_;
    std::shared_ptr<NP2ProbeChip> chip_;
};

class NP2ProbeSource;

/// A probe docked into an NP2 headstage, and the source of its data.
struct NP2ProbeSim {
    std::shared_ptr<NP2Probe> probe;
    std::shared_ptr<NP2ProbeSource> source;
};

/// Docks a probe into dock 0 or 1 of an NP2 headstage (make_np2_headstage in
/// sim/headstages/np_headstages.h): its EEPROM and chip on the dock's bus,
/// its data (np2_source.h) as the dock's stream source, which the board
/// sends on SID 8 + port (dock 0) or 12 + port (dock 1) while the port's
/// NP2 demultiplexer bit is set. Throws std::invalid_argument for a
/// headstage without dock routing or a dock other than 0 and 1.
NP2ProbeSim attach_np2_probe(Headstage& headstage, int dock, NP2ProbeIdentity identity);

/// Whether a probe part number names a four-shank probe.
bool np2_part_is_four_shank(const std::string& probe_pn);

}  // namespace pelionp::sim
