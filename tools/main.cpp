// pelionp: detect, test and record Neuropixels probes on a board (the
// simulated one by default, a real one through a device-manager plug-in).

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pelio_device/logging.h"
#include "pelionp/logging.h"
#include "record/logging.h"
#include "tools/commands/commands.h"
#include "tools/platform/console.h"

int main(int argc, char** argv) {
  using namespace pelionp::tool;

  // Logs go to stderr: stdout carries the commands' output and the live
  // status line.
  spdlog::set_default_logger(spdlog::stderr_color_mt("pelionp"));
  // The libraries log there too (on Windows each DLL has its own default).
  pelionp::use_logger(spdlog::default_logger());
  pelionp::record::use_logger(spdlog::default_logger());
  pelio::use_logger(spdlog::default_logger());  // and so the plug-ins

  CLI::App app{"pelionp: Neuropixels acquisition on a simulated board or, through a plug-in, a real one"};
  app.require_subcommand(1);
  app.fallthrough();
  std::string level = "info";
  app.add_option("--log-level", level, "Log level: trace, debug, info, warn, error, critical or off")
      ->capture_default_str()
      ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));

  std::vector<std::unique_ptr<Command>> commands;
#define PELIONP_MAKE_COMMAND(name) commands.push_back(make_##name##_command());
  PELIONP_COMMANDS(PELIONP_MAKE_COMMAND)
#undef PELIONP_MAKE_COMMAND

  std::map<CLI::App*, Command*> chosen;
  for (auto& command : commands) {
    auto* sub = app.add_subcommand(std::string(command->name()), std::string(command->description()));
    command->add_options(*sub);
    chosen.emplace(sub, command.get());
  }

  // CLI11 takes the arguments after the program's name, last first.
  auto arguments = platform::utf8_arguments(argc, argv);
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  if (!reversed.empty()) reversed.pop_back();
  try {
    app.parse(std::move(reversed));
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  spdlog::set_level(spdlog::level::from_str(level));

  for (auto* sub : app.get_subcommands()) {
    try {
      return chosen.at(sub)->run();
    } catch (const std::exception& e) {
      // The library throws only for broken invariants; say what broke.
      spdlog::critical("{} failed: {}", sub->get_name(), e.what());
      return EXIT_FAILED;
    }
  }
  return EXIT_USAGE;
}
