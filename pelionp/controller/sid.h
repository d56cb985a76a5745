#pragma once
#include <array>
#include <stdexcept>
#include <cstddef>
#include <cstdint>

namespace pelionp::demux {

/// Stream identifier: the low nibble of a raw stream word's first byte.
/// Port p owns {p, 8 + p, 12 + p}, which share one producer enable bit.
enum class SID : uint32_t {
    NP1_PORT0 = 0,
    NP1_PORT1 = 1,
    NP1_PORT2 = 2,
    NP1_PORT3 = 3,
    TIMESTAMP = 4,  // consumed by the demultiplexer itself, never subscribed
    IO = 5,
    // 6 and 7 have no producer
    NP2_PORT0_DOCK0 = 8,
    NP2_PORT1_DOCK0 = 9,
    NP2_PORT2_DOCK0 = 10,
    NP2_PORT3_DOCK0 = 11,
    NP2_PORT0_DOCK1 = 12,
    NP2_PORT1_DOCK1 = 13,
    NP2_PORT2_DOCK1 = 14,
    NP2_PORT3_DOCK1 = 15,
};

inline constexpr std::size_t SID_COUNT = 16;

constexpr uint32_t to_underlying(SID sid) noexcept { return static_cast<uint32_t>(sid); }

/// The three streams of a port, in the order the board documents them.
/// Throws std::runtime_error "port_stream_ids: invalid port" outside 0..3.
constexpr std::array<SID, 3> port_stream_ids(int port) {
    if (port < 0 || port > 3) throw std::runtime_error("port_stream_ids: invalid port");
    const auto p = static_cast<uint32_t>(port);
    return {SID{p}, SID{8 + p}, SID{12 + p}};
}

}  // namespace pelionp::demux
