// `pelionp detect`: what is plugged into the board, one row per probe.

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "tools/commands/commands.h"
#include "tools/commands/device.h"
#include "record/session/session.h"

namespace pelionp::tool {

namespace {

using record::HeadstageKind;

constexpr std::string_view ROW = "{:<5} {:<5} {:<16} {:<20} {:<12} {:<16} {}\n";

class Detect final : public Command {
 public:
  std::string_view name() const override { return "detect"; }
  std::string_view description() const override {
    return "Detect headstages on ports 0..3, initialise their probes and list them";
  }
  void add_options(CLI::App& command) override { commands::add_device_options(command, device_); }

  int run() override {
    auto opened = commands::open_device(device_);
    if (!opened) {
      spdlog::error("{}", opened.error());
      return EXIT_FAILED;
    }
    spdlog::info("Board: {}", opened->description);
    auto session = record::Session::open(opened->device);
    if (!session) {
      spdlog::error("{}", session.error());
      return EXIT_FAILED;
    }
    if (auto r = (*session)->detect(); !r) {
      spdlog::error("Detection failed: {}", r.error());
      return EXIT_FAILED;
    }
    fmt::print(fmt::runtime(ROW), "PORT", "DOCK", "HEADSTAGE", "PROBE PN", "SERIAL", "FLEX PN", "VERSION");
    const auto& probes = (*session)->probes();
    for (const auto& port : (*session)->ports()) {
      if (!port.headstage) {
        fmt::print("{:<5} {:<5} no headstage: {}\n", port.port, "-", port.headstage_error);
        continue;
      }
      const std::string headstage = fmt::format("{} {}", display_name(*port.headstage), port.headstage_pn);
      const int docks = *port.headstage == HeadstageKind::np1 ? 1 : 2;
      for (int d = 0; d < docks; ++d) {
        const std::string dock = *port.headstage == HeadstageKind::np1 ? "-" : std::to_string(d);
        if (const auto& why = port.dock_errors[static_cast<size_t>(d)]) {
          fmt::print("{:<5} {:<5} {:<16} no probe: {}\n", port.port, dock, headstage, *why);
          continue;
        }
        for (const auto& probe : probes) {
          if (probe.port != port.port || probe.dock != d) continue;
          const auto& info = probe.info();
          fmt::print(fmt::runtime(ROW), port.port, dock, headstage, info.probe_pn, info.serial, info.flex_pn,
                     fmt::format("{}.{}", info.version_major, info.version_minor));
        }
      }
    }
    return EXIT_OK;
  }

 private:
  commands::DeviceChoice device_;
};

}  // namespace

std::unique_ptr<Command> make_detect_command() { return std::make_unique<Detect>(); }

}  // namespace pelionp::tool
