#include "record/session/run.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <ostream>

#include "record/imro/imro.h"
#include "record/probeinterface/probe_interface.h"
#include "record/run_name.h"
#include "record/session/probe_setup.h"

namespace pelionp::record {

std::string_view to_string(RunErrorKind kind) noexcept {
  switch (kind) {
    case RunErrorKind::disk_full: return "disk full";
    case RunErrorKind::device_lost: return "device lost";
    case RunErrorKind::configuration_refused: return "configuration refused";
    case RunErrorKind::file_exists: return "file exists";
    case RunErrorKind::invalid_options: return "invalid options";
    case RunErrorKind::write_failed: return "write failed";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, const RunError& error) {
  return out << error.message << " (" << to_string(error.kind) << ")";
}

namespace {

RunError error(RunErrorKind kind, std::string message) { return RunError{kind, std::move(message)}; }

}  // namespace

std::expected<std::unique_ptr<Run>, RunError> Run::create(Session& session, RunOptions options) {
  // NB: whole superframes, so that an NP1 recording's AP and LF files end
  // at the same moment.
  options.ap_samples -= options.ap_samples % 12;
  if (auto named = check_run_name(options.layout.run); !named)
    return std::unexpected(error(RunErrorKind::invalid_options, named.error()));
  if (options.gate) {
    if (*options.gate < 0) return std::unexpected(error(RunErrorKind::invalid_options, fmt::format("Gate {} is negative", *options.gate)));
    options.layout.gate = *options.gate;
    // NB: a named gate may exist as a folder (a host re-using it for
    // another probe); any file a writer would create is refused below.
  } else {
    options.layout.gate = spikeglx::next_free_gate(options.layout.root, options.layout.run);
  }
  std::unique_ptr<Run> run(new Run(session, std::move(options)));
  if (auto r = run->prepare(); !r) return std::unexpected(r.error());
  return run;
}

Run::~Run() {
  if (!finished_)
    if (auto r = finish(); !r) spdlog::error("{}", r.error().message);
}

void Run::writer_ended() {
  // NB: the lock orders the writer's done flag before the waiter's check.
  { std::lock_guard lock(ended_mutex_); }
  ended_changed_.notify_all();
}

std::expected<imro::ProbeConfiguration, std::string> Run::configuration_for(const ProbeHandle& probe) const {
  const std::pair place{probe.port, probe.dock};
  if (auto it = options_.configurations.find(place); it != options_.configurations.end()) return it->second;
  if (auto it = options_.imro_files.find(place); it != options_.imro_files.end()) {
    spdlog::info("{}: configuration from {}", probe.place(), it->second.string());
    return imro::read_configuration(it->second, probe.kind, probe.info().probe_pn);
  }
  return imro::default_configuration(probe.kind);
}

std::expected<void, RunError> Run::prepare() {
  const auto& layout = options_.layout;
  std::vector<const ProbeHandle*> chosen;
  for (const auto& probe : session_.probes())
    if (options_.probes.empty() || std::ranges::find(options_.probes, std::pair{probe.port, probe.dock}) != options_.probes.end())
      chosen.push_back(&probe);
  for (const auto& [port, dock] : options_.probes)
    if (!std::ranges::any_of(chosen, [&](const ProbeHandle* p) { return p->port == port && p->dock == dock; }))
      return std::unexpected(error(RunErrorKind::invalid_options, fmt::format("No probe on port {} dock {} to record", port, dock)));
  if (chosen.empty()) return std::unexpected(error(RunErrorKind::invalid_options, "No probe to record"));
  if (options_.gate) {
    if (auto existing = spikeglx::existing_file(layout, static_cast<int>(chosen.size())))
      return std::unexpected(error(RunErrorKind::file_exists,
                                   fmt::format("Gate {} of run '{}' already holds {}", layout.gate, layout.run, existing->string())));
  }
  // The disk is looked at before any probe is touched: a run that would not fit is refused at once.
  double bytes_per_second = 0;
  for (const ProbeHandle* probe : chosen) {
    bytes_per_second += spikeglx::AP_SAMPLE_RATE * (spikeglx::SAVED_CHANNELS * 2.0 + 8.0);  // .bin row and its timestamp
    if (probe->kind == ProbeKind::np1) bytes_per_second += spikeglx::LF_SAMPLE_RATE * spikeglx::SAVED_CHANNELS * 2.0;
  }
  const uint64_t buffers = chosen.size() * 3 * spikeglx::OutputFile::DEFAULT_BUFFER_BYTES;
  disk_ = std::make_unique<DiskRoom>(layout.root, bytes_per_second, options_.disk_margin_bytes + buffers);
  if (auto fits = disk_->check_fits(static_cast<double>(options_.ap_samples) / spikeglx::AP_SAMPLE_RATE); !fits)
    return std::unexpected(error(RunErrorKind::disk_full, fits.error()));
  if (options_.sync_bit && !options_.record_io)
    return std::unexpected(error(RunErrorKind::invalid_options, "A sync bit needs the IO stream recorded (record_io)"));
  if (options_.record_io) {
    auto io = io::IORecording::create(layout, options_.sync_bit);
    if (!io)
      return std::unexpected(error(io.error().find("already exists") != std::string::npos ? RunErrorKind::file_exists
                                                                                          : RunErrorKind::write_failed,
                                   fmt::format("IO frames: {}", io.error())));
    io_ = std::move(*io);
    auto worker = session_.controller().create_io_stream([io = io_.get()](pelionp::io::IOFrame frame) { io->on_frame(frame); },
                                                         [] {});
    if (!worker) {
      if (options_.sync_bit)
        return std::unexpected(error(RunErrorKind::invalid_options, fmt::format("Sync bit: {}", worker.error())));
      spdlog::warn("The run records no IO frames: {}", worker.error());
    } else {
      io_worker_ = std::move(*worker);
    }
  }
  SyncLookup sync;
  std::string sync_source = "none";
  if (io_ && io_->sync()) {
    sync = [track = io_->sync()](uint64_t timestamp) -> int16_t { return track->at(timestamp) ? spikeglx::SYNC_BIT : 0; };
    sync_source = fmt::format("bit 0: IO {}", io::format_sync_bit(io_->sync()->bit()));
  }
  start_ = std::make_unique<RunStart>(chosen.size(), options_.start_timestamp);
  auto who_is = [](int index, const ProbeHandle& probe) {
    return fmt::format("imec{} ({} {}, serial {})", index, display_name(probe.kind), probe.place(), probe.info().serial);
  };
  // Every table is read before any probe is touched: one that does not fit is refused before anything is uploaded.
  std::vector<imro::ProbeConfiguration> configurations;
  for (const ProbeHandle* probe : chosen) {
    auto configuration = configuration_for(*probe);
    if (!configuration)
      return std::unexpected(error(RunErrorKind::configuration_refused,
                                   fmt::format("{}: {}", who_is(static_cast<int>(configurations.size()), *probe),
                                               configuration.error())));
    configurations.push_back(std::move(*configuration));
  }
  int index = 0;
  for (const ProbeHandle* chosen_probe : chosen) {
    const auto& probe = *chosen_probe;
    const std::string who = who_is(index, probe);
    const auto* configuration = &configurations[static_cast<size_t>(index)];
    bool calibrated = false;
    if (!options_.calibration_dir.empty()) {
      auto loaded = load_calibration(probe, options_.calibration_dir);
      if (!loaded)
        return std::unexpected(error(RunErrorKind::configuration_refused, fmt::format("{}: calibration: {}", who, loaded.error())));
      calibrated = *loaded;
    }
    if (auto r = apply_configuration(probe, *configuration); !r)
      return std::unexpected(error(RunErrorKind::configuration_refused, fmt::format("{}: configuration: {}", who, r.error())));

    std::vector<std::string> failed;
    for (const auto& chain : upload_configuration(probe)) {
      if (chain.result) {
        spdlog::info("{}: upload of chain {}: ok", who, chain.chain);
      } else {
        spdlog::error("{}: upload of chain {} failed: {}", who, chain.chain, chain.result.error());
        failed.push_back(chain.chain);
      }
    }
    if (!failed.empty())
      return std::unexpected(error(RunErrorKind::configuration_refused,
                                   fmt::format("{}: configuration upload failed on chain(s) {}", who, fmt::join(failed, ", "))));

    auto recording = spikeglx::ProbeRecording::create(layout, index, probe.identity(), *configuration, options_.page_cache);
    if (!recording)
      return std::unexpected(error(recording.error().find("already exists") != std::string::npos ? RunErrorKind::file_exists
                                                                                                : RunErrorKind::write_failed,
                                   fmt::format("{}: {}", who, recording.error())));
    (*recording)->set_user_notes(options_.notes);
    WriterHooks hooks{.index = index,
                      .tap = options_.sample_tap,
                      .on_end = [this] { writer_ended(); },
                      .stall_timeout = options_.stall_timeout,
                      .start_patience = options_.start_patience,
                      .checkpoint_period = std::chrono::milliseconds(500),
                      .sync = sync,
                      .sync_source = sync_source,
                      .out_of_room = [disk = disk_.get()] { return disk->look(); }};
    writers_.push_back(
        std::make_unique<ProbeWriter>(probe, std::move(*recording), options_.ap_samples, start_.get(), std::move(hooks)));

    capture::StreamDescription description{.sid = capture::stream_id(probe.kind, probe.port, probe.dock),
                                           .probe = probe.identity(),
                                           .configuration = *configuration,
                                           .ap_gain_correction = std::nullopt,
                                           .lf_gain_correction = std::nullopt};
    if (calibrated) {
      description.ap_gain_correction = ap_gain_correction(probe);
      if (probe.kind == ProbeKind::np1) description.lf_gain_correction = lf_gain_correction(probe);
    }
    sidecar_.streams.push_back(std::move(description));
    file_scales_.emplace_back(probe);
    ++index;
  }
  std::vector<probeinterface::RecordedProbe> described;
  for (const auto& s : sidecar_.streams) described.push_back({s.probe, s.configuration});
  if (auto r = probeinterface::write(layout.run_description(), described); !r)
    return std::unexpected(error(RunErrorKind::write_failed, r.error()));
  return {};
}

std::expected<void, RunError> Run::start() {
  if (started_) return std::unexpected(error(RunErrorKind::invalid_options, "The run has already started"));
  started_ = true;
  std::expected<void, RunError> started;
  // IO first, so that its frames cover the probes' first samples.
  if (io_worker_)
    if (auto r = session_.controller().start_stream(*io_worker_); !r)
      started = std::unexpected(error(RunErrorKind::device_lost, fmt::format("Failed to start the IO stream: {}", r.error())));
  for (auto& w : writers_) w->start();
  if (!started) {
    if (start_) start_->streams_started();
    return started;
  }
  for (auto& w : writers_) {
    if (auto r = session_.controller().start_stream(w->probe().worker()); !r) {
      started = std::unexpected(error(RunErrorKind::device_lost,
                                      fmt::format("{}: failed to start the stream: {}", w->probe().place(), r.error())));
      break;
    }
  }
  if (start_) start_->streams_started();
  return started;
}

bool Run::wait(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(ended_mutex_);
  return ended_changed_.wait_for(lock, timeout, [&] { return ended(); });
}

std::expected<void, RunError> Run::finish() {
  if (finished_) return std::unexpected(error(RunErrorKind::invalid_options, "The run has already finished"));
  finished_ = true;
  std::vector<std::string> failures;
  std::optional<RunErrorKind> first_kind;
  if (start_) start_->cancel();
  for (auto& w : writers_) w->finish();
  for (auto& w : writers_)
    if (auto r = w->join(); !r) {
      if (!first_kind) first_kind = r.error().kind;
      failures.push_back(r.error().message);
    }
  file_scales_.clear();
  if (started_) {
    for (auto& w : writers_) {
      if (auto r = session_.controller().stop_stream(w->probe().worker()); !r)
        spdlog::warn("{}: failed to stop the stream: {}", w->probe().place(), r.error());
    }
  }
  if (io_worker_) {
    if (started_)
      if (auto r = session_.controller().stop_stream(*io_worker_); !r) spdlog::warn("Failed to stop the IO stream: {}", r.error());
    io_worker_.reset();  // joins the thread that writes the IO file
  }
  if (io_) {
    if (auto r = io_->close(); !r) {
      if (!first_kind) first_kind = RunErrorKind::write_failed;
      failures.push_back(fmt::format("IO frames: {}", r.error()));
    }
  }
  if (failures.empty()) return {};
  return std::unexpected(error(*first_kind, fmt::format("{}", fmt::join(failures, "; "))));
}

std::optional<double> Run::disk_minutes_left() const noexcept { return disk_ ? disk_->minutes_left() : std::nullopt; }

bool Run::done() const noexcept {
  return std::ranges::all_of(writers_, [](const auto& w) { return w->done(); });
}

bool Run::any_done() const noexcept {
  return std::ranges::any_of(writers_, [](const auto& w) { return w->done(); });
}

bool Run::ended() const noexcept {
  if (done()) return true;
  if (options_.ap_samples == 0) return any_done();
  return std::ranges::any_of(writers_, [](const auto& w) { return w->failed(); });
}

}  // namespace pelionp::record
