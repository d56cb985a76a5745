// `pelionp bist`: the built-in self tests of every headstage and probe.

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "tools/commands/commands.h"
#include "tools/commands/device.h"
#include "record/session/probe_setup.h"
#include "record/session/session.h"

namespace pelionp::tool {

namespace {

class Bist final : public Command {
 public:
  std::string_view name() const override { return "bist"; }
  std::string_view description() const override {
    return "Run the headstage EEPROM test and each probe's self tests (I2C, shift registers, PSB for NP1)";
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
    auto& s = **session;
    if (auto r = s.detect(); !r) {
      spdlog::error("Detection failed: {}", r.error());
      return EXIT_FAILED;
    }
    for (const auto& port : s.ports()) {
      auto headstage = s.headstage(port.port);
      if (!headstage) continue;
      report(fmt::format("port {}", port.port), "headstage EEPROM",
             std::visit([](auto& h) { return h.get().bist_eeprom(); }, *headstage));
    }
    for (const auto& probe : s.probes()) {
      const std::string who = probe.place();
      const bool iic = std::visit([](auto* p) { return p->bist_iic(); }, probe.probe);
      report(who, "I2C", iic ? std::expected<void, std::string>{}
                             : std::unexpected(std::string("the SYNC register did not read back what was written")));
      for (auto& chain : record::bist_shift_registers(probe))
        report(who, fmt::format("shift register {}", chain.chain), std::move(chain.result));
      if (auto* const* np1 = std::get_if<NP1::Probe*>(&probe.probe)) {
        const int psb = (*np1)->bist_PSB();
        report(who, "PSB", psb == 0 ? std::expected<void, std::string>{}
                                    : std::unexpected(fmt::format("the PSB test setup failed ({})", psb)));
      }
    }
    if (tests_ == 0) {
      spdlog::error("No headstage found: nothing to test");
      return EXIT_FAILED;
    }
    fmt::print("{} of {} tests passed\n", tests_ - failures_, tests_);
    return failures_ == 0 ? EXIT_OK : EXIT_FAILED;
  }

 private:
  void report(const std::string& who, const std::string& test, const std::expected<void, std::string>& result) {
    ++tests_;
    if (result) {
      fmt::print("{:<16} {:<24} PASS\n", who, test);
    } else {
      ++failures_;
      fmt::print("{:<16} {:<24} FAIL: {}\n", who, test, result.error());
    }
  }

  commands::DeviceChoice device_;
  int tests_ = 0;
  int failures_ = 0;
};

}  // namespace

std::unique_ptr<Command> make_bist_command() { return std::make_unique<Bist>(); }

}  // namespace pelionp::tool
