// `pelionp preview RUN_DIR --out FILE.png`: one picture of a recording, per
// probe its site map coloured by AP RMS and half a second of traces
// (tools/preview/preview.h draws it).

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <filesystem>

#include "tools/commands/commands.h"
#include "tools/commands/path_option.h"
#include "tools/preview/preview.h"

namespace pelionp::tool {

namespace {

class Preview final : public Command {
 public:
  std::string_view name() const override { return "preview"; }
  std::string_view description() const override {
    return "Draw a recording (a run folder) as a PNG: each probe's sites by AP RMS and a few traces";
  }
  void add_options(CLI::App& command) override {
    commands::add_path_option(command, "RUN_DIR", run_, "The run's folder, <run>_g0")->required()->type_name("DIR");
    commands::add_path_option(command, "--out", out_, "The picture to write")->required()->type_name("FILE.png");
  }

  int run() override {
    auto picture = preview::render(run_, out_);
    if (!picture) {
      spdlog::error("Preview failed: {}", picture.error());
      return EXIT_FAILED;
    }
    fmt::print("Preview: {} ({}x{}, {} probe(s))\n", out_.string(), picture->width, picture->height,
               picture->probes.size());
    return EXIT_OK;
  }

 private:
  std::filesystem::path run_;
  std::filesystem::path out_;
};

}  // namespace

std::unique_ptr<Command> make_preview_command() { return std::make_unique<Preview>(); }

}  // namespace pelionp::tool
