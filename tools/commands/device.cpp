#include "tools/commands/device.h"
#include "tools/platform/console.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <exception>
#include <stdexcept>
#include <filesystem>

#include "pelio_device/loader.h"

namespace pelionp::tool::commands {

void add_device_options(CLI::App& command, DeviceChoice& choice) {
  auto* sim = command
                  .add_option("--sim", choice.sim,
                              fmt::format("Use the simulated board (the default), built from RIG: compact "
                                          "'PORT=np1,PORT=np2:DOCK0+DOCK1' (docks single, four or empty) or a "
                                          "JSON rig file [default rig: {}]",
                                          rig::DEFAULT_RIG))
                  ->expected(0, 1)
                  ->type_name("RIG");
  auto* plugin = command.add_option("--plugin", choice.plugin, "Open a real board through this device-manager plug-in")
                     ->type_name("PATH")
                     ->excludes(sim);
  command.add_option("--config", choice.config, "JSON configuration of the plug-in's device (see `pelionp devices`)")
      ->type_name("JSON")
      ->needs(plugin);
}

std::string own_plugin() {
#if defined(PELIONP_BUILT_PLUGIN) && defined(PELIONP_INSTALLED_PLUGIN)
  std::error_code ec;
  if (std::filesystem::exists(PELIONP_BUILT_PLUGIN, ec)) return PELIONP_BUILT_PLUGIN;
  return PELIONP_INSTALLED_PLUGIN;
#else
  return {};
#endif
}

std::expected<OpenedDevice, std::string> open_device(const DeviceChoice& choice, bool paced) {
  if (!choice.plugin.empty()) {
    auto manager = pelio::load_device_manager(platform::path_from_utf8(choice.plugin));
    if (!manager) return std::unexpected(manager.error());
    try {
      // The plug-in interface reports a failed open by throwing.
      auto device = (*manager)->create_device(choice.config);
      if (!device) return std::unexpected(fmt::format("{}: create_device returned no device", choice.plugin));
      return OpenedDevice{std::move(device), nullptr, fmt::format("board of plug-in {} ({})", choice.plugin, choice.config)};
    } catch (const std::out_of_range&) {
      // The plug-in's own words ("invalid vector subscript") say nothing to a user.
      std::string count = "?";
      try {
        count = std::to_string(nlohmann::json::parse((*manager)->list_devices()).size());
      } catch (const std::exception&) {
      }
      return std::unexpected(fmt::format("{}: no board with the id of {}: the plug-in finds {} board(s); "
                                         "`pelionp doctor --plugin {}` says what is missing",
                                         choice.plugin, choice.config, count, choice.plugin));
    } catch (const std::exception& e) {
      return std::unexpected(fmt::format("{}: failed to open a device with {}: {} (`pelionp doctor --plugin {}` "
                                         "checks the driver and the board)",
                                         choice.plugin, choice.config, e.what(), choice.plugin));
    }
  }
  auto rig = rig::parse_rig_argument(choice.sim.empty() ? rig::DEFAULT_RIG : std::string_view(choice.sim));
  if (!rig) return std::unexpected(fmt::format("rig '{}': {}", choice.sim, rig.error()));
  auto simulated = std::make_shared<SimulatedRig>(
      build_simulated_rig(*rig, sim::StreamOptions{.paced = paced, .views = false, .ticks_per_buffer = 30}));
  std::shared_ptr<pelio::BasicDevice> board = simulated->board.board;
  return OpenedDevice{std::move(board), std::move(simulated),
                      fmt::format("simulated board ({})", rig::to_compact(*rig))};
}

}  // namespace pelionp::tool::commands
