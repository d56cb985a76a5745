#pragma once
// The simulated board a rig description asks for: the tool's rig (what the
// command line says) translated into the simulated board's own rig
// contents, each probe with the rig's serial or the board's default one of
// its port and dock, and a part number of its kind. The tool and its tests
// build their boards here, so a test can predict what a recording holds.
//
// Threading: build on one thread before the board is shared; afterwards
// the board serialises everything itself.

#include <cstdint>
#include <memory>
#include <string_view>

#include "sim/rig.h"
#include "sim/stream.h"
#include "tools/rig/rig.h"

namespace pelionp::tool::commands {

// The part number a simulated probe of this kind reports.
std::string_view sim_probe_part_number(ProbeKind kind) noexcept;
// The serial of a probe the rig gives none (the simulated board's default
// for that port and dock).
uint64_t default_sim_serial(ProbeKind kind, int port, int dock);

sim::RigContents sim_rig_contents(const rig::Rig& rig);

struct SimulatedRig {
  rig::Rig rig;
  sim::Rig board;  // the board and the handles of its simulated probes
};

SimulatedRig build_simulated_rig(const rig::Rig& rig, const sim::StreamOptions& options = {});

}  // namespace pelionp::tool::commands
