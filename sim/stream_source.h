#pragma once
// What feeds the simulated board's data stream: one source per stream a
// headstage (or a probe on it) produces, asked for its words tick by tick
// (a tick is one AP sample period, 1/30000 s). The board's stream thread
// adds the timestamp words and interleaves the enabled streams.
//
// Threading: `append_tick` runs on the stream thread only, one tick after
// the other. A source that also answers I2C (a probe chip) guards the state
// it shares with the bus itself.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelionp::sim {

inline constexpr std::size_t WORD_SIZE = 16;
inline constexpr uint8_t WORD_PREAMBLE = 0xD0;
inline constexpr uint8_t TIMESTAMP_SID = 4;
inline constexpr uint8_t IO_SID = 5;
/// Sample ticks per second (the probes' AP sample rate).
inline constexpr uint32_t TICKS_PER_SECOND = 30000;

/// Per-SID 8-bit row counters, as the board keeps them.
using RowCounters = std::array<uint8_t, 16>;

class StreamSource {
public:
    virtual ~StreamSource() = default;
    /// Appends this tick's words for stream `sid` to `out` (whole 16-byte
    /// words), stepping `counters[sid]` once per word.
    virtual void append_tick(uint8_t sid, RowCounters& counters, std::vector<uint8_t>& out) = 0;
};

}  // namespace pelionp::sim
