#pragma once
// A simulated board with headstages and probes plugged in, from a plain
// description of what each port holds: nothing, an NP1 headstage with its
// probe, or an NP2 headstage with a probe (by part number) in either dock.
// This is how the tool, benchmarks and tests assemble a board.
//
// A probe without a serial gets a fixed one of its port and dock
// (default_np1_serial, default_np2_serial), so the same description always
// gives the same data. An empty NP2 dock streams nothing.
//
// Threading: build before any stream starts; afterwards the handles are used
// as the board's README says (hold() around direct chip access).
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "sim/board.h"
#include "sim/headstage.h"
#include "sim/probes/np1_probe.h"
#include "sim/probes/np2_probe.h"
#include "sim/stream.h"

namespace pelionp::sim {

inline constexpr int NP2_DOCK_COUNT = 2;

struct NP1PortContents {
    std::optional<uint64_t> serial;
    /// The probe part number in its EEPROM.
    std::string probe_pn = NP1ProbeIdentity{}.probe_pn;
};

struct NP2DockContents {
    /// "NP2013"/"NP2014"/"NP2010" make a four-shank probe, anything else a
    /// single shank (NP2003, NP2004, ...); the library refuses unknown ones.
    std::string probe_pn;
    std::optional<uint64_t> serial;
};

struct NP2PortContents {
    std::array<std::optional<NP2DockContents>, NP2_DOCK_COUNT> docks{};
};

using PortContents = std::variant<std::monostate, NP1PortContents, NP2PortContents>;

struct RigContents {
    std::array<PortContents, Board::PORT_COUNT> ports{};
};

/// What was plugged into one port; empty members where nothing is.
struct RigPort {
    std::shared_ptr<Headstage> headstage;
    std::optional<NP1ProbeSim> np1;
    std::array<std::optional<NP2ProbeSim>, NP2_DOCK_COUNT> np2{};
};

struct Rig {
    std::shared_ptr<Board> board;
    std::array<RigPort, Board::PORT_COUNT> ports{};
};

uint64_t default_np1_serial(int port);
uint64_t default_np2_serial(int port, int dock);

/// Builds each port's headstage and probes and plugs them into `board`
/// (replacing whatever was plugged there; a port without contents is
/// unplugged).
std::array<RigPort, Board::PORT_COUNT> plug_rig(Board& board, const RigContents& contents);

/// A fresh board with `contents` plugged in, streaming with `options`.
Rig make_rig(const RigContents& contents, StreamOptions options = {});

}  // namespace pelionp::sim
