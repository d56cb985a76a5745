#pragma once
// What feeds the simulated board's data stream: one source per stream a
// headstage (or a probe on it) produces, asked for its words tick by tick
// (a tick is one AP sample period, 1/30000 s). The board's stream thread
// adds the timestamp words and interleaves the enabled streams.
//
// A source learns its SID from the board (it depends on the port the
// headstage is plugged into) and frames its words with the stream encoders
// of sim/stream_encoders.h, which keep each SID's row counter.
//
// Threading: `append_tick` runs on the stream thread only, one tick after
// the other. A source that also answers I2C (a probe chip) guards the state
// it shares with the bus itself.
#include <cstdint>
#include <vector>

namespace pelionp::sim {

/// Streams the board produces itself rather than a headstage.
inline constexpr uint8_t TIMESTAMP_SID = 4;
inline constexpr uint8_t IO_SID = 5;

/// Sample ticks per second (the probes' AP sample rate).
inline constexpr uint32_t TICKS_PER_SECOND = 30000;

class StreamSource {
public:
    virtual ~StreamSource() = default;
    /// Appends this tick's whole 16-byte words for stream `sid` to `out`.
    virtual void append_tick(uint8_t sid, std::vector<uint8_t>& out) = 0;
    /// The same, told the tick's timestamp, which the board put in `out`
    /// ahead of the tick's streams (what latest_timestamp(out) finds). The
    /// board calls this one; a source that needs the timestamp overrides it
    /// rather than search `out` for it.
    virtual void append_tick_at(uint8_t sid, uint64_t /*timestamp*/, std::vector<uint8_t>& out) {
        append_tick(sid, out);
    }
};

}  // namespace pelionp::sim
