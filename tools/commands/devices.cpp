// `pelionp devices`: what a device-manager plug-in offers, as a host sees it.

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "pelio_device/loader.h"
#include "tools/platform/console.h"
#include "tools/commands/commands.h"
#include "tools/commands/device.h"

namespace pelionp::tool {

namespace {

class Devices final : public Command {
 public:
  std::string_view name() const override { return "devices"; }
  std::string_view description() const override {
    return "Show a device-manager plug-in's info, location, devices and device options";
  }
  void add_options(CLI::App& command) override {
    auto* option = command.add_option("--plugin", plugin_, "The plug-in module to load")->type_name("PATH");
    if (!plugin_.empty()) option->default_str(plugin_);
  }

  int run() override {
    if (plugin_.empty()) {
      spdlog::error("No plug-in given (--plugin PATH) and this build has none of its own");
      return EXIT_FAILED;
    }
    auto manager = pelio::load_device_manager(platform::path_from_utf8(plugin_));
    if (!manager) {
      spdlog::error("{}", manager.error());
      return EXIT_FAILED;
    }
    auto& m = **manager;
    // Each text exactly as the plug-in returns it: its layout is the plug-in's.
    fmt::print("info:\n{}\n", m.info());
    fmt::print("location:\n{}\n", m.location().string());
    fmt::print("list_devices:\n{}\n", m.list_devices());
    fmt::print("device_options:\n{}\n", m.device_options());
    return EXIT_OK;
  }

 private:
  std::string plugin_ = commands::own_plugin();
};

}  // namespace

std::unique_ptr<Command> make_devices_command() { return std::make_unique<Devices>(); }

}  // namespace pelionp::tool
