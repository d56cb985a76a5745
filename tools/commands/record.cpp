// `pelionp record`: configure every probe, stream them all and write each
// probe's data in the SpikeGLX layout until the time is up or Ctrl-C.

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "record/capture/sidecar.h"
#include "record/capture/capturing_device.h"
#include "tools/commands/path_option.h"
#include "tools/commands/run_name_option.h"
#include "tools/commands/commands.h"
#include "tools/commands/device.h"
#include "tools/commands/sim_truth.h"
#include "record/session/run.h"
#include "record/session/session.h"
#include "record/imro/imro.h"
#include "tools/platform/console.h"

namespace pelionp::tool {

namespace {

using namespace std::chrono_literals;
using record::ProbeHandle;

constexpr auto STATUS_PERIOD = 500ms;
// How often Ctrl-C is looked at while the run goes on.
constexpr auto INTERRUPT_PERIOD = 100ms;

using Place = std::pair<int, int>;  // port, dock

// "PORT[:DOCK]=FILE"
std::expected<std::pair<Place, std::filesystem::path>, std::string> parse_imro_option(const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
    return std::unexpected(fmt::format("--imro {}: expected PORT[:DOCK]=FILE", text));
  const std::string where = text.substr(0, equals);
  int port = -1;
  int dock = 0;
  char extra = 0;
  const int fields = where.find(':') == std::string::npos ? std::sscanf(where.c_str(), "%d%c", &port, &extra)
                                                           : std::sscanf(where.c_str(), "%d:%d%c", &port, &dock, &extra);
  const int wanted = where.find(':') == std::string::npos ? 1 : 2;
  if (fields != wanted || port < 0 || port > 3 || dock < 0 || dock > 1)
    return std::unexpected(fmt::format("--imro {}: '{}' is not a port 0..3 with an optional dock 0..1", text, where));
  return std::pair{Place{port, dock}, platform::path_from_utf8(text.substr(equals + 1))};
}

std::string megabytes(uint64_t bytes) { return fmt::format("{:.1f} MB", static_cast<double>(bytes) / 1e6); }

class Record final : public Command {
 public:
  std::string_view name() const override { return "record"; }
  std::string_view description() const override {
    return "Configure and stream every probe, writing SpikeGLX-style .bin/.meta files";
  }
  void add_options(CLI::App& command) override {
    commands::add_path_option(command, "--out", out_, "Directory the run's folder is written into")->required()->type_name("DIR");
    command.add_option("--seconds", seconds_, "Record this long (default: until Ctrl-C)")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    command
        .add_option("--imro", imro_,
                    "IMRO table for the probe on PORT (NP1) or PORT:DOCK (NP2); default: the library's defaults")
        ->type_name("PORT[:DOCK]=FILE")
        ->take_all();
    commands::add_path_option(command, "--calibration-dir", calibration_dir_,
                       "Load DIR/<serial>/<serial>_gainCalValues.csv (and NP1 _ADCCalibration.csv) per probe")
        ->type_name("DIR");
    commands::add_path_option(command, "--raw", raw_, "Also save the device stream bytes as received, with FILE.json describing the rig")
        ->type_name("FILE");
    command.add_option("--run", run_, "Run name (letters, digits, '-' and '_'): files go to DIR/<run>_g<G>/")
        ->capture_default_str()
        ->check(commands::run_name_check())
        ->type_name("NAME");
    command
        .add_option("--gate", gate_,
                    "Record into gate G (refused if its files exist); default: one past the highest gate in DIR")
        ->check(CLI::NonNegativeNumber)
        ->type_name("G");
    command
        .add_option("--start-timestamp", start_timestamp_,
                    "Begin every file at this device timestamp (30000 a second); default: the first timestamp at "
                    "which every probe streams")
        ->type_name("TICKS");
    command
        .add_option("--sync-bit", sync_bit_,
                    "Put this bit of the board's IO frames into every probe file's sync column (bit 0), at each "
                    "sample's device time: u64:BIT, u32[0..1]:BIT or u16[0..15]:BIT; default: none")
        ->type_name("FIELD:BIT");
    command.add_flag("--buffered-writes", buffered_writes_,
                     "Write the .bin files through the system's page cache (default: past it, where the file "
                     "system allows, which costs the CPU less)");
    commands::add_device_options(command, device_);
  }

  int run() override {
    if (auto r = record(); !r) {
      spdlog::error("{}", r.error());
      return EXIT_FAILED;
    }
    return EXIT_OK;
  }

 private:
  std::expected<void, std::string> record();
  std::expected<void, std::string> stream(record::Run& run);
  void print_status(const record::Run& run, double elapsed, std::vector<uint64_t>& last_packets,
                    double since_last, bool escapes, std::size_t& width) const;

  commands::DeviceChoice device_;
  std::filesystem::path out_;
  double seconds_ = 0;
  std::vector<std::string> imro_;
  std::map<Place, std::filesystem::path> imro_files_;
  std::filesystem::path calibration_dir_;
  std::filesystem::path raw_;
  std::string run_ = "pelionp";
  std::optional<uint64_t> start_timestamp_;
  std::optional<int> gate_;
  std::string sync_bit_;
  bool buffered_writes_ = false;
};

std::expected<void, std::string> Record::record() {
  for (const auto& text : imro_) {
    auto parsed = parse_imro_option(text);
    if (!parsed) return std::unexpected(parsed.error());
    if (!imro_files_.emplace(parsed->first, parsed->second).second)
      return std::unexpected(fmt::format("--imro {}: a second table for the same probe", text));
  }
  const spikeglx::Layout requested{out_, run_};
  std::optional<record::SyncBit> sync_bit;
  if (!sync_bit_.empty()) {
    auto parsed = record::io::parse_sync_bit(sync_bit_);
    if (!parsed) return std::unexpected(fmt::format("--sync-bit: {}", parsed.error()));
    sync_bit = *parsed;
  }

  auto opened = commands::open_device(device_, /*paced=*/true);
  if (!opened) return std::unexpected(opened.error());
  spdlog::info("Board: {}", opened->description);
  std::shared_ptr<pelio::BasicDevice> device = opened->device;
  std::shared_ptr<record::CapturingDevice> capture;
  if (!raw_.empty()) {
    auto made = record::CapturingDevice::create(device, raw_);
    if (!made) return std::unexpected(fmt::format("--raw: {}", made.error()));
    capture = *made;
    device = capture;
  }

  auto session = record::Session::open(device);
  if (!session) return std::unexpected(session.error());
  if (auto r = (*session)->detect(); !r) return std::unexpected(fmt::format("Detection failed: {}", r.error()));
  for (const auto& port : (*session)->ports()) {
    if (!port.headstage) spdlog::info("Port {}: no headstage ({})", port.port, port.headstage_error);
    for (size_t d = 0; d < port.dock_errors.size(); ++d)
      if (port.dock_errors[d]) spdlog::info("Port {} dock {}: no probe ({})", port.port, d, *port.dock_errors[d]);
  }
  auto& probes = (*session)->probes();
  if (probes.empty()) return std::unexpected(std::string("No probe found: nothing to record"));
  for (const auto& [place, file] : imro_files_) {
    const bool found = std::ranges::any_of(probes, [&](const ProbeHandle& p) { return Place{p.port, p.dock} == place; });
    if (!found)
      return std::unexpected(fmt::format("--imro {}:{}={}: no probe there", place.first, place.second, file.string()));
  }

  const auto superframes = static_cast<uint64_t>(seconds_ * spikeglx::AP_SAMPLE_RATE / 12.0 + 1e-9);
  const uint64_t limit = superframes * 12;
  if (seconds_ > 0 && limit == 0) return std::unexpected(fmt::format("--seconds {} is shorter than one sample set", seconds_));
  auto run = record::Run::create(
      **session, {.layout = requested, .gate = gate_, .ap_samples = limit, .calibration_dir = calibration_dir_,
                  .configurations = {}, .imro_files = imro_files_, .start_timestamp = start_timestamp_,
                  .sample_tap = {}, .sync_bit = sync_bit,
                  .page_cache = buffered_writes_ ? spikeglx::PageCache::used : spikeglx::PageCache::bypassed});
  if (!run) return std::unexpected(run.error().message);
  const spikeglx::Layout layout = (*run)->layout();
  spdlog::info("Recording into {}", layout.run_directory().string());
  if (capture) {
    if (auto r = capture::write(capture::sidecar_path(raw_), (*run)->streams()); !r)
      return std::unexpected(fmt::format("--raw: {}", r.error()));
  }

  std::vector<std::string> failures;
  {
    // Over the finish too: closing the console window (Windows) waits until
    // the files are closed.
    platform::InterruptScope interrupt;
    auto streamed = stream(**run);
    if (!streamed) failures.push_back(streamed.error());
    if (auto r = (*run)->finish(); !r) failures.push_back(r.error().message);
  }
  if (auto r = commands::write_sim_ground_truth(device_, **run); !r) failures.push_back(r.error());

  const auto& writers = &(*run)->writers();
  for (const auto& w : *writers) {
    const auto& rec = w->recording();
    fmt::print("imec{} {} ({} {}): {} AP samples ({:.3f} s){}{}, {} written\n",
               &w - writers->data(), w->probe().place(), display_name(w->probe().kind), w->probe().info().serial,
               rec.ap_samples(), static_cast<double>(rec.ap_samples()) / spikeglx::AP_SAMPLE_RATE,
               w->probe().kind == ProbeKind::np1 ? fmt::format(", {} LF samples", rec.lf_samples()) : "",
               w->dropped_samples() ? fmt::format(", {} samples lost", w->dropped_samples()) : "",
               megabytes(rec.bytes_written()));
  }
  if ((*run)->io_frames() > 0) fmt::print("IO: {} frames\n", (*run)->io_frames());
  run->reset();
  session->reset();  // stops the device stream before the capture closes
  if (capture) {
    if (auto r = capture->close(); !r) failures.push_back(fmt::format("--raw: {}", r.error()));
    else fmt::print("Raw capture: {} ({}) and {}\n", raw_.string(), megabytes(capture->bytes_captured()),
                    capture::sidecar_path(raw_).string());
  }
  fmt::print("Recording: {}\n", layout.run_directory().string());
  if (failures.empty()) return {};
  std::string all = failures.front();
  for (size_t i = 1; i < failures.size(); ++i) all += "; " + failures[i];
  return std::unexpected(all);
}

// Runs inside the caller's InterruptScope.
std::expected<void, std::string> Record::stream(record::Run& run) {
  const auto& writers = run.writers();
  std::expected<void, std::string> outcome;
  if (auto started = run.start(); !started) outcome = std::unexpected(started.error().message);
  if (outcome) {
    spdlog::info("Recording {} probe(s){}; Ctrl-C stops", writers.size(),
                 seconds_ > 0 ? fmt::format(" for {} s", seconds_) : "");
    const bool status = platform::stdout_is_terminal();
    const bool escapes = status && platform::enable_terminal_escapes();
    std::size_t status_width = 0;
    const auto start = std::chrono::steady_clock::now();
    auto last_status = start;
    std::vector<uint64_t> last_packets(writers.size(), 0);
    while (true) {
      // A probe that stalls ends its writer (the run's stall timeout), and
      // so the run; the wait is short only for Ctrl-C and the status line.
      const bool ended = run.wait(INTERRUPT_PERIOD);
      const auto now = std::chrono::steady_clock::now();
      if (platform::InterruptScope::interrupted()) {
        if (status) fmt::print("\n");
        spdlog::info("Interrupted: writing what is queued and closing the files");
        break;
      }
      if (ended) break;
      if (status && now - last_status >= STATUS_PERIOD) {
        print_status(run, std::chrono::duration<double>(now - start).count(), last_packets,
                     std::chrono::duration<double>(now - last_status).count(), escapes, status_width);
        last_status = now;
      }
    }
    if (status && !platform::InterruptScope::interrupted()) fmt::print("\n");
  }
  return outcome;  // the caller finishes the run
}

void Record::print_status(const record::Run& run, double elapsed, std::vector<uint64_t>& last_packets,
                          double since_last, bool escapes, std::size_t& width) const {
  const auto& writers = run.writers();
  std::string line = fmt::format("\r{:7.1f} s", elapsed);
  if (const auto minutes = run.disk_minutes_left()) line += fmt::format(" | disk {:.0f} min", *minutes);
  for (size_t i = 0; i < writers.size(); ++i) {
    const auto& w = *writers[i];
    const uint64_t packets = w.packets();
    const double rate = since_last > 0 ? static_cast<double>(packets - last_packets[i]) / since_last : 0.0;
    last_packets[i] = packets;
    line += fmt::format(" | imec{} {:6.0f} pkt/s {:>9} drop {} q {}", i, rate, megabytes(w.recording().bytes_written()),
                        w.dropped_samples(), w.probe().queue_depth_approx());
  }
  // The rest of a longer previous line is erased: by the terminal's "erase
  // to end of line", or with blanks where the console knows no escapes.
  if (escapes) {
    line += "\x1b[K";
  } else if (line.size() < width) {
    line.append(width - line.size(), ' ');
  }
  width = line.size();
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::unique_ptr<Command> make_record_command() { return std::make_unique<Record>(); }

}  // namespace pelionp::tool
