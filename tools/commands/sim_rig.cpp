#include "tools/commands/sim_rig.h"

#include "sim/headstages/np_headstages.h"

namespace pelionp::tool::commands {

std::string_view sim_probe_part_number(ProbeKind kind) noexcept {
  switch (kind) {
    case ProbeKind::np1: return "PRB_1_4_0480_1";
    case ProbeKind::np2_single_shank: return "NP2003";
    case ProbeKind::np2_four_shank: return "NP2014";
  }
  return "";
}

uint64_t default_sim_serial(ProbeKind kind, int port, int dock) noexcept {
  // Eleven digits, as real probes carry; the last two say where it sits.
  const uint64_t base = kind == ProbeKind::np1 ? 18005106800ULL : 19011102800ULL;
  return base + static_cast<uint64_t>(port) * 10 + static_cast<uint64_t>(dock);
}

uint64_t sim_serial(const rig::Probe& probe, int port, int dock) noexcept {
  return probe.serial.value_or(default_sim_serial(probe.kind, port, dock));
}

SimulatedRig build_simulated_rig(const rig::Rig& rig, const sim::StreamOptions& options) {
  SimulatedRig built{.rig = rig, .board = std::make_shared<sim::Board>(), .np1_probes = {}, .np2_probes = {}};
  built.board->set_stream_options(options);
  for (int p = 0; p < rig::PORT_COUNT; ++p) {
    const rig::Port& port = rig.ports[static_cast<size_t>(p)];
    switch (port.headstage) {
      case rig::Headstage::none: break;
      case rig::Headstage::np1: {
        auto headstage = sim::make_np1_headstage(SIM_NP1_HEADSTAGE_PN);
        if (const auto& probe = port.docks[0]) {
          built.np1_probes.push_back(sim::attach_np1_probe(
              *headstage, {.serial = sim_serial(*probe, p, 0),
                           .version_major = 1,
                           .version_minor = 0,
                           .flex_pn = "NP2_FLEX_0",
                           .probe_pn = std::string(sim_probe_part_number(ProbeKind::np1))}));
        }
        built.board->plug(p, headstage);
        break;
      }
      case rig::Headstage::np2: {
        auto headstage = sim::make_np2_headstage(SIM_NP2_HEADSTAGE_PN);
        for (int d = 0; d < rig::DOCK_COUNT; ++d) {
          const auto& probe = port.docks[static_cast<size_t>(d)];
          if (!probe) continue;
          built.np2_probes.push_back(sim::attach_np2_probe(
              *headstage, d,
              {.serial = sim_serial(*probe, p, d),
               .version_major = 2,
               .version_minor = 1,
               .flex_pn = "NPNH_FLEX_0",
               .probe_pn = std::string(sim_probe_part_number(probe->kind))})
                                         .probe);
        }
        built.board->plug(p, headstage);
        break;
      }
    }
  }
  return built;
}

}  // namespace pelionp::tool::commands
