#include "tools/commands/sim_rig.h"

namespace pelionp::tool::commands {

std::string_view sim_probe_part_number(ProbeKind kind) noexcept {
  switch (kind) {
    case ProbeKind::np1: return "PRB_1_4_0480_1";
    case ProbeKind::np2_single_shank: return "NP2003";
    case ProbeKind::np2_four_shank: return "NP2014";
  }
  return "";
}

uint64_t default_sim_serial(ProbeKind kind, int port, int dock) {
  return kind == ProbeKind::np1 ? sim::default_np1_serial(port) : sim::default_np2_serial(port, dock);
}

sim::RigContents sim_rig_contents(const rig::Rig& rig) {
  sim::RigContents contents;
  for (size_t p = 0; p < rig.ports.size(); ++p) {
    const rig::Port& port = rig.ports[p];
    switch (port.headstage) {
      case rig::Headstage::none: break;
      case rig::Headstage::np1: {
        sim::NP1PortContents np1;
        if (port.docks[0]) np1.serial = port.docks[0]->serial;
        np1.probe_pn = std::string(sim_probe_part_number(ProbeKind::np1));
        contents.ports[p] = np1;
        break;
      }
      case rig::Headstage::np2: {
        sim::NP2PortContents np2;
        for (size_t d = 0; d < port.docks.size(); ++d) {
          if (const auto& probe = port.docks[d])
            np2.docks[d] = sim::NP2DockContents{std::string(sim_probe_part_number(probe->kind)), probe->serial};
        }
        contents.ports[p] = np2;
        break;
      }
    }
  }
  return contents;
}

SimulatedRig build_simulated_rig(const rig::Rig& rig, const sim::StreamOptions& options) {
  return {rig, sim::make_rig(sim_rig_contents(rig), options)};
}

}  // namespace pelionp::tool::commands
