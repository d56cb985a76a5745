// `pelionp replay`: decode a raw capture offline into the recording layout
// (record/replay/replay.h does the work).

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <string>

#include "tools/commands/commands.h"
#include "tools/commands/path_option.h"
#include "tools/commands/run_name_option.h"
#include "record/replay/replay.h"

namespace pelionp::tool {

namespace {

class Replay final : public Command {
 public:
  std::string_view name() const override { return "replay"; }
  std::string_view description() const override {
    return "Decode a raw capture (record --raw) offline into the same files a recording writes";
  }
  void add_options(CLI::App& command) override {
    commands::add_path_option(command, "CAPTURE", capture_, "The capture file; CAPTURE.json, if present, describes its probes")
        ->required()
        ->type_name("FILE");
    commands::add_path_option(command, "--out", out_, "Directory the run's folder is written into")->required()->type_name("DIR");
    command.add_option("--run", run_, "Run name (letters, digits, '-' and '_'): files go to DIR/<run>_g0/")
        ->capture_default_str()
        ->check(commands::run_name_check())
        ->type_name("NAME");
  }

  int run() override {
    auto summary = replay::run({.capture = capture_, .layout = {out_, run_}});
    if (!summary) {
      spdlog::error("{}", summary.error());
      return EXIT_FAILED;
    }
    fmt::print("Replayed {:.1f} MB of {} ({})\n", static_cast<double>(summary->bytes) / 1e6, capture_.string(),
               summary->sidecar ? "probes and corrections from its sidecar" : "no sidecar: unit gain correction");
    for (std::size_t i = 0; i < summary->streams.size(); ++i) {
      const auto& s = summary->streams[i];
      fmt::print("imec{} port {} dock {} {} SID {}: {} AP samples ({:.3f} s){} -> {}\n", i, s.probe.port,
                 s.probe.dock, display_name(s.probe.kind), s.sid, s.ap_samples,
                 static_cast<double>(s.ap_samples) / spikeglx::AP_SAMPLE_RATE,
                 s.probe.kind == ProbeKind::np1 ? fmt::format(", {} LF samples", s.lf_samples) : std::string(),
                 s.ap_path.parent_path().string());
    }
    return EXIT_OK;
  }

 private:
  std::filesystem::path capture_;
  std::filesystem::path out_;
  std::string run_ = "pelionp";
};

}  // namespace

std::unique_ptr<Command> make_replay_command() { return std::make_unique<Replay>(); }

}  // namespace pelionp::tool
