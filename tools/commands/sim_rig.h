#pragma once
// The simulated board a rig description asks for: headstages plugged into
// their ports, simulated probes attached to them, each probe with a serial
// (the rig's, or one derived from where it sits) and a part number of its
// kind. The tool and its tests build their boards here, so a test can
// predict what a recording of the default rig holds.
//
// Threading: build on one thread before the board is shared; afterwards
// the board serialises everything itself.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "sim/board.h"
#include "sim/probes/np1_probe.h"
#include "sim/probes/np2_probe.h"
#include "sim/stream.h"
#include "tools/rig/rig.h"

namespace pelionp::tool::commands {

// Headstage part numbers of the simulated headstages.
inline constexpr std::string_view SIM_NP1_HEADSTAGE_PN = "NP1_HS_30";
inline constexpr std::string_view SIM_NP2_HEADSTAGE_PN = "NP2_HS_30";

// The part number a simulated probe of this kind reports.
std::string_view sim_probe_part_number(ProbeKind kind) noexcept;
// The serial of a probe the rig gives none: distinct per port and dock.
uint64_t default_sim_serial(ProbeKind kind, int port, int dock) noexcept;
// The rig's serial, or the default one.
uint64_t sim_serial(const rig::Probe& probe, int port, int dock) noexcept;

// The board and the handles of its simulated probes (the chips stay alive
// with the board's buses anyway; the handles are for inspection).
struct SimulatedRig {
  rig::Rig rig;
  std::shared_ptr<sim::Board> board;
  std::vector<sim::NP1ProbeSim> np1_probes;
  std::vector<std::shared_ptr<sim::NP2Probe>> np2_probes;
};

SimulatedRig build_simulated_rig(const rig::Rig& rig, const sim::StreamOptions& options = {});

}  // namespace pelionp::tool::commands
