#include "record/session/run.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "record/imro/imro.h"
#include "record/probeinterface/probe_interface.h"
#include "record/run_name.h"
#include "record/session/probe_setup.h"

namespace pelionp::record {

std::expected<std::unique_ptr<Run>, std::string> Run::create(Session& session, RunOptions options) {
  // NB: whole superframes, so that an NP1 recording's AP and LF files end
  // at the same moment.
  options.ap_samples -= options.ap_samples % 12;
  if (auto named = check_run_name(options.layout.run); !named) return std::unexpected(named.error());
  std::unique_ptr<Run> run(new Run(session, std::move(options)));
  if (auto r = run->prepare(); !r) return std::unexpected(r.error());
  return run;
}

Run::~Run() {
  if (!finished_)
    if (auto r = finish(); !r) spdlog::error("{}", r.error());
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

std::expected<void, std::string> Run::prepare() {
  const auto& layout = options_.layout;
  start_ = std::make_unique<RunStart>(session_.probes().size(), options_.start_timestamp);
  auto who_is = [](int index, const ProbeHandle& probe) {
    return fmt::format("imec{} ({} {}, serial {})", index, display_name(probe.kind), probe.place(), probe.info().serial);
  };
  // Every table is read before any probe is touched: one that does not fit is refused before anything is uploaded.
  std::vector<imro::ProbeConfiguration> configurations;
  for (const auto& probe : session_.probes()) {
    auto configuration = configuration_for(probe);
    if (!configuration) return std::unexpected(fmt::format("{}: {}", who_is(static_cast<int>(configurations.size()), probe), configuration.error()));
    configurations.push_back(std::move(*configuration));
  }
  int index = 0;
  for (const auto& probe : session_.probes()) {
    const std::string who = who_is(index, probe);
    const auto* configuration = &configurations[static_cast<size_t>(index)];
    bool calibrated = false;
    if (!options_.calibration_dir.empty()) {
      auto loaded = load_calibration(probe, options_.calibration_dir);
      if (!loaded) return std::unexpected(fmt::format("{}: calibration: {}", who, loaded.error()));
      calibrated = *loaded;
    }
    if (auto r = apply_configuration(probe, *configuration); !r)
      return std::unexpected(fmt::format("{}: configuration: {}", who, r.error()));

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
      return std::unexpected(fmt::format("{}: configuration upload failed on chain(s) {}", who, fmt::join(failed, ", ")));

    auto recording = spikeglx::ProbeRecording::create(layout, index, probe.identity(), *configuration);
    if (!recording) return std::unexpected(fmt::format("{}: {}", who, recording.error()));
    writers_.push_back(std::make_unique<ProbeWriter>(probe, std::move(*recording), options_.ap_samples, start_.get()));

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
  return probeinterface::write(layout.run_description(), described);
}

std::expected<void, std::string> Run::start() {
  if (started_) return std::unexpected(std::string("The run has already started"));
  started_ = true;
  for (auto& w : writers_) w->start();
  std::expected<void, std::string> started;
  for (auto& w : writers_) {
    if (auto r = session_.controller().start_stream(w->probe().worker()); !r) {
      started = std::unexpected(fmt::format("{}: failed to start the stream: {}", w->probe().place(), r.error()));
      break;
    }
  }
  start_->streams_started();
  return started;
}

std::expected<void, std::string> Run::finish() {
  if (finished_) return std::unexpected(std::string("The run has already finished"));
  finished_ = true;
  std::vector<std::string> failures;
  start_->cancel();
  for (auto& w : writers_) w->finish();
  for (auto& w : writers_)
    if (auto r = w->join(); !r) failures.push_back(r.error());
  file_scales_.clear();
  if (started_) {
    for (auto& w : writers_) {
      if (auto r = session_.controller().stop_stream(w->probe().worker()); !r)
        spdlog::warn("{}: failed to stop the stream: {}", w->probe().place(), r.error());
    }
  }
  if (failures.empty()) return {};
  return std::unexpected(fmt::format("{}", fmt::join(failures, "; ")));
}

bool Run::done() const noexcept {
  return std::ranges::all_of(writers_, [](const auto& w) { return w->done(); });
}

bool Run::any_done() const noexcept {
  return std::ranges::any_of(writers_, [](const auto& w) { return w->done(); });
}

}  // namespace pelionp::record
