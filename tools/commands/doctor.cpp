// `pelionp doctor`: whether a real board is ready to record, and if not,
// the one thing to do about each problem (see doctor_checks.h).

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tools/commands/commands.h"
#include "tools/commands/device.h"
#include "tools/commands/doctor_checks.h"
#include "tools/platform/console.h"

namespace pelionp::tool {

namespace {

class DoctorCommand final : public Command {
 public:
  std::string_view name() const override { return "doctor"; }
  std::string_view description() const override {
    return "Check the plug-in, the driver, the device nodes, each board and its ports; say what to do about problems";
  }
  void add_options(CLI::App& command) override {
    auto* plugin = command.add_option("--plugin", plugin_, "The device-manager plug-in to check")->type_name("PATH");
    if (!plugin_.empty()) plugin->default_str(plugin_);
    sim_ = command.add_option("--sim", rig_, "Check the simulated board built from RIG instead (see `record --help`)")
               ->expected(0, 1)
               ->type_name("RIG")
               ->excludes(plugin);
  }

  int run() override {
    doctor::Doctor doctor([](const doctor::Finding& finding) {
      fmt::print("{}\n", doctor::format_finding(finding));
      std::fflush(stdout);
    });
    if (sim_->count() > 0) {
      auto opened = commands::open_device(commands::DeviceChoice{.sim = rig_, .plugin = {}, .config = "{}"});
      if (!opened) {
        fmt::print("{}\n", doctor::format_finding({.ok = false, .check = "board", .detail = opened.error(),
                                                   .remedy = "give a rig the simulated board can build"}));
        return EXIT_FAILED;
      }
      doctor.board(opened->device, "simulated board", std::nullopt);
    } else {
      const doctor::Places places;
      auto manager = doctor.plugin(platform::path_from_utf8(plugin_));
      doctor.driver(places);
      doctor.nodes(places);
      if (manager) doctor.boards(*manager, places);
    }
    if (doctor.problems() == 0) {
      fmt::print("all checks ok\n");
      return EXIT_OK;
    }
    fmt::print("{} problem{}\n", doctor.problems(), doctor.problems() == 1 ? "" : "s");
    return EXIT_FAILED;
  }

 private:
  std::string plugin_ = commands::own_plugin();
  std::string rig_;
  CLI::Option* sim_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> make_doctor_command() { return std::make_unique<DoctorCommand>(); }

}  // namespace pelionp::tool
