#pragma once
// The data stream of a simulated NP1 probe: one frame group per tick, built
// with the NP1 stream encoder. Each channel carries the signal of the
// electrode its chip connects (np1_signal.h) at the tick's timestamp: AP
// sample = np1_ap_code(serial, electrode, tick of the group), LFP sample =
// np1_lfp_code(serial, electrode, tick of the superframe's first group / 12).
// Channels in standby, or without an electrode, read NP1_FLAT_CODE. The
// channel map follows the chip's chains at every tick, so a new electrode
// selection shows in the data as soon as it is uploaded.
//
// Speed: the AP signals repeat every SIGNAL_PERIOD_TICKS, so the source keeps
// each tick's twelve encoded AP frames in a TickCache (sim/probes/
// tick_cache.h) and sends them again a period later with fresh frame
// numbers; a change of the channel map empties the cache. The LFP frame (32
// samples a tick) is encoded from samples every time. The words are the
// same as those encoded from samples, byte for byte.
//
// A source first asked for a tick between two superframe boundaries (its
// stream enabled while the board streams) sends nothing until the next tick
// whose timestamp is a multiple of 12. NB: a real probe's superframes fall
// on whatever tick it started; this one's fall on the same ticks in every
// run of a rig, so two recordings of it can be compared sample for sample.
//
// Faults (safe from any thread, applied at the next tick): frames dropped on
// the device side, a group start without its sync marker.
//
// Threading: `append_tick` runs on the board's stream thread only.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/probes/tick_cache.h"
#include "sim/stream_encoders.h"
#include "sim/stream_source.h"

namespace pelionp::sim {

class NP1ProbeChip;
struct NP1ChannelMap;
class NeuralSignal;

class NP1ProbeSource final : public StreamSource {
public:
    NP1ProbeSource(std::shared_ptr<const NP1ProbeChip> chip, uint64_t serial);

    void append_tick(uint8_t sid, std::vector<uint8_t>& out) override;
    void append_tick_at(uint8_t sid, uint64_t timestamp, std::vector<uint8_t>& out) override;

    /// The next `frames` frames are never sent; the frame count runs on.
    void drop_frames(uint64_t frames) { drop_.fetch_add(frames); }
    /// The next group start lacks its sync marker.
    void break_sync() { break_sync_.store(true); }

private:
    uint16_t ap(int channel) const;
    uint16_t lfp(uint64_t group, int channel) const;
    void follow_chip();
    std::span<const uint8_t, NP1Encoder::AP_FRAMES_BYTES> cached_ap_frames();

    std::shared_ptr<const NP1ProbeChip> chip_;
    const NeuralSignal& model_;
    NP1Encoder encoder_;
    std::shared_ptr<const NP1ChannelMap> map_;
    uint64_t tick_ = 0;
    bool started_ = false;  // the first superframe boundary was reached
    TickCache cache_{NP1Encoder::AP_FRAMES_BYTES};
    // The board numbers each SID's words: one 8-bit row counter per SID.
    std::array<uint8_t, 16> row_counters_{};
    std::atomic<uint64_t> drop_{0};
    std::atomic<bool> break_sync_{false};
};

}  // namespace pelionp::sim
