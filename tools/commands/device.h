#pragma once
// Which board a command talks to, and opening it.
//
//   --sim [RIG]               the simulated board (default), built from a rig
//                             (compact form, or a JSON file; see tools/rig/rig.h)
//   --plugin PATH --config J  a real board, opened through a device-manager
//                             plug-in exactly as a host would
//
// The opened device keeps whatever it depends on alive: the plug-in module
// (through the device the manager made) or the simulated probes.

#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "pelio/basic_device.h"
#include "tools/commands/sim_rig.h"

namespace CLI {
class App;
}

namespace pelionp::tool::commands {

struct DeviceChoice {
  std::string sim;      // the rig; empty: the default rig
  std::string plugin;   // empty: the simulated board
  std::string config = "{}";
};

// Adds --sim, --plugin and --config to a command.
void add_device_options(CLI::App& command, DeviceChoice& choice);

struct OpenedDevice {
  std::shared_ptr<pelio::BasicDevice> device;
  std::shared_ptr<SimulatedRig> simulated;  // null for a plug-in device
  std::string description;                  // for logs: which board this is
};

/// The plug-in this project builds: the module of this build tree while it
/// exists, otherwise the installed one; empty when the build has none.
std::string own_plugin();

// `paced`: the simulated board streams at the probes' real rate (a
// recording) or as fast as it can.
std::expected<OpenedDevice, std::string> open_device(const DeviceChoice& choice, bool paced = true);

}  // namespace pelionp::tool::commands
