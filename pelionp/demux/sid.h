#pragma once
// Stream identifiers and the one mapping between a SID and the place of its
// producer (port, dock, probe kind). Plain constexpr values: every layer
// (the demultiplexer, the decoders, the probes, the controller, the tool)
// asks here and nowhere else.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>

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
inline constexpr int PORT_COUNT = 4;

constexpr uint32_t to_underlying(SID sid) noexcept { return static_cast<uint32_t>(sid); }

/// The probe family whose stream a SID carries.
enum class StreamKind : uint8_t { NP1, NP2 };

/// Where a probe stream comes from. `dock` is 0 for NP1 probes.
struct StreamPlace {
    int port = 0;
    int dock = 0;
    StreamKind kind = StreamKind::NP1;

    friend constexpr bool operator==(const StreamPlace&, const StreamPlace&) = default;
};

/// The stream of a probe: NP1 on port p -> p (the dock is not looked at);
/// NP2 -> 8 + p in dock 0, 12 + p in any other dock. Empty for a port
/// outside 0..3.
constexpr std::optional<SID> sid_of(int port, int dock, StreamKind kind) noexcept {
    if (port < 0 || port >= PORT_COUNT) return std::nullopt;
    const auto p = static_cast<uint32_t>(port);
    if (kind == StreamKind::NP1) return SID{p};
    return SID{(dock == 0 ? 8u : 12u) + p};
}

/// The inverse of sid_of (docks as 0 and 1); empty for SIDs 4..7 and values
/// outside 0..15.
constexpr std::optional<StreamPlace> place_of(SID sid) noexcept {
    const uint32_t s = to_underlying(sid);
    if (s < 4) return StreamPlace{static_cast<int>(s), 0, StreamKind::NP1};
    if (s >= 8 && s < SID_COUNT) return StreamPlace{static_cast<int>(s % 4), s < 12 ? 0 : 1, StreamKind::NP2};
    return std::nullopt;
}

/// The three streams of a port, in the order the board documents them.
/// Throws std::runtime_error "port_stream_ids: invalid port" outside 0..3.
constexpr std::array<SID, 3> port_stream_ids(int port) {
    const auto np1 = sid_of(port, 0, StreamKind::NP1);
    if (!np1) throw std::runtime_error("port_stream_ids: invalid port");
    return {*np1, *sid_of(port, 0, StreamKind::NP2), *sid_of(port, 1, StreamKind::NP2)};
}

// The mapping round-trips for every probe stream.
static_assert([] {
    for (int port = 0; port < PORT_COUNT; ++port) {
        for (const auto& [dock, kind] : {std::pair{0, StreamKind::NP1}, std::pair{0, StreamKind::NP2},
                                         std::pair{1, StreamKind::NP2}}) {
            if (place_of(*sid_of(port, dock, kind)) != StreamPlace{port, dock, kind}) return false;
        }
    }
    return true;
}());

}  // namespace pelionp::demux
