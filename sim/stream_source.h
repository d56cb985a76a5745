#pragma once
// Hook for the simulated board's data stream: what a source produces is
// what `Board::start_read_stream` will deliver. Not driven yet: until the
// stream thread exists, start_read_stream refuses loudly.
#include <cstddef>
#include <cstdint>
#include <span>

namespace pelionp::sim {

class StreamSource {
public:
    virtual ~StreamSource() = default;
    /// Fills `buffer` with the next raw 16-byte stream units; returns the
    /// bytes written (a multiple of 16), 0 when nothing is due yet.
    virtual std::size_t fill(std::span<uint8_t> buffer) = 0;
};

}  // namespace pelionp::sim
