#pragma once
// The commands of the `pelionp` program and the one place that lists them.
//
// A command is an object that declares its options on its own CLI11
// subcommand and runs once parsing succeeded. `main` builds every command
// of PELIONP_COMMANDS, lets CLI11 pick one and runs it.
//
// Adding a command: write tools/commands/<name>.cpp defining
// `std::unique_ptr<Command> make_<name>_command()` and add `X(<name>)` to
// PELIONP_COMMANDS below; nothing else changes.

#include <memory>
#include <string_view>

#include "tools/record_names.h"

namespace CLI {
class App;
}

namespace pelionp::tool {

// Exit statuses of the program.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;     // the command ran and something failed
inline constexpr int EXIT_USAGE = 2;      // bad command line (CLI11's own code)

class Command {
 public:
  virtual ~Command() = default;
  virtual std::string_view name() const = 0;
  // One line for `pelionp --help`.
  virtual std::string_view description() const = 0;
  // Declares the options on the command's subcommand; the values land in
  // the command object, read by run().
  virtual void add_options(CLI::App& command) = 0;
  // Runs the command; returns the exit status. Failures are logged.
  virtual int run() = 0;
};

// `preview` draws with cairo; trees without it (the Windows cross build)
// leave it out.
#if defined(PELIONP_HAVE_PREVIEW)
#define PELIONP_PREVIEW_COMMAND(X) X(preview)
#else
#define PELIONP_PREVIEW_COMMAND(X)
#endif

// `serve` needs the service library (cpp-httplib); trees without it leave
// it out.
#if defined(PELIONP_HAVE_SERVICE)
#define PELIONP_SERVE_COMMAND(X) X(serve)
#else
#define PELIONP_SERVE_COMMAND(X)
#endif

// In the order `--help` lists them.
#define PELIONP_COMMANDS(X) \
  X(detect)                 \
  X(record)                 \
  PELIONP_SERVE_COMMAND(X)  \
  X(replay)                 \
  X(bist)                   \
  X(devices)                \
  X(doctor)                 \
  PELIONP_PREVIEW_COMMAND(X)

#define PELIONP_DECLARE_COMMAND(name) std::unique_ptr<Command> make_##name##_command();
PELIONP_COMMANDS(PELIONP_DECLARE_COMMAND)
#undef PELIONP_DECLARE_COMMAND

}  // namespace pelionp::tool
