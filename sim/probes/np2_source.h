#pragma once
// The data stream of a simulated NP2 probe: one superframe (16 rows of three
// subrows, 48 words) per tick, built with the NP2 stream encoder. Channel c
// of the superframe sent at timestamp t carries probe.superframe(t)[c]: the
// signal of the electrode the chip connects to c (np2_electrode_signal), or
// 2048 for a channel in standby or without an electrode. The channel map
// follows the chip's chains at every tick, so a new selection shows in the
// data as soon as it is uploaded.
//
// Speed: the signals repeat every SIGNAL_PERIOD_TICKS, so the source keeps
// each tick's encoded words in a TickCache (sim/probes/tick_cache.h) and
// sends them again a period later with fresh framing; a change of the
// chip's channel map empties the cache. The words are the same as those
// encoded from samples, byte for byte.
//
// The source keeps one encoder for the SID it is asked for; asked for
// another (the headstage moved to another port) it starts a fresh stream
// there, row group counter from 0.
//
// Threading: `append_tick` runs on the board's stream thread only; the
// probe's chip guards what it shares with the bus.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/probes/np2_probe.h"
#include "sim/probes/tick_cache.h"
#include "sim/stream_encoders.h"
#include "sim/stream_source.h"

namespace pelionp::sim {

class NP2ProbeSource final : public StreamSource {
public:
    explicit NP2ProbeSource(std::shared_ptr<const NP2Probe> probe);
    NP2ProbeSource(const NP2ProbeSource&) = delete;  // the encoder calls back into this object
    NP2ProbeSource& operator=(const NP2ProbeSource&) = delete;

    void append_tick(uint8_t sid, std::vector<uint8_t>& out) override;
    void append_tick_at(uint8_t sid, uint64_t timestamp, std::vector<uint8_t>& out) override;

private:
    using Sources = std::array<std::optional<NP2ProbeChip::Source>, NP2ProbeChip::CHANNELS>;

    void follow_chip();
    std::span<const uint8_t, NP2Encoder::SUPERFRAME_BYTES> cached_words(uint64_t tick);

    std::shared_ptr<const NP2Probe> probe_;
    std::optional<NP2Encoder> encoder_;
    std::array<uint16_t, NP2ProbeChip::CHANNELS> codes_{};
    // The channel map the cache was made for, and the chip generation it was read at.
    Sources sources_{};
    uint64_t generation_ = UINT64_MAX;
    TickCache cache_{NP2Encoder::SUPERFRAME_BYTES};
};

}  // namespace pelionp::sim
