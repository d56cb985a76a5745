#pragma once
// One recording of every probe of a session: each probe's calibration, its
// configuration (an IMRO-derived table or the library's defaults) applied
// and uploaded, its files created (with its ProbeInterface description and
// the run's), a writer thread per probe, and the probes' streams.
//
//   auto run = Run::create(session, {.layout = {dir, "mouse1"}, .ap_samples = 60000});
//   run->start();  ... wait on done() / the counters ...  run->finish();
//
// Ownership: the run borrows the session, which must outlive it; it owns
// the writers (and through them the files). Threading: create, start and
// finish from one thread; done() and the writers' counters from any.
// Errors: create fails, naming the probe, on the first probe that cannot
// be calibrated, configured, uploaded or given files; finish reports every
// writer's and stream's failure.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "record/capture/sidecar.h"
#include "record/export.h"
#include "record/imro/configuration.h"
#include "record/session/file_scale.h"
#include "record/session/probe_writer.h"
#include "record/session/run_start.h"
#include "record/session/session.h"
#include "record/spikeglx/recording.h"

namespace pelionp::record {

struct RunOptions {
  spikeglx::Layout layout{};
  // AP samples per probe, rounded down to whole NP1 superframes (12
  // samples) so that AP and LF end together; 0: until finish().
  uint64_t ap_samples = 0;
  // DIR/<serial>/... calibration files per probe (empty: none).
  std::filesystem::path calibration_dir{};
  // Per (port, dock): the configuration to upload, or an IMRO table file to
  // read it from; other probes get the library's defaults.
  std::map<std::pair<int, int>, imro::ProbeConfiguration> configurations{};
  std::map<std::pair<int, int>, std::filesystem::path> imro_files{};
  // The device timestamp every file begins at. Unset: the first timestamp
  // at which every probe streams (the latest of their first packets), so
  // where a run begins depends on how fast its streams started; set it
  // where runs must be compared sample for sample.
  std::optional<uint64_t> start_timestamp{};
};

class PELIONP_RECORD_API Run {
 public:
  static std::expected<std::unique_ptr<Run>, std::string> create(Session& session, RunOptions options);

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run();  // finishes if the owner did not; failures are logged

  // Starts every writer, then every probe's stream. Every file begins at
  // the run's start (see `RunOptions::start_timestamp`); what a probe
  // streamed before it is skipped.
  std::expected<void, std::string> start();
  // Writes what is queued, joins the writers, stops the streams and closes
  // the files; reports every failure, joined with "; ".
  std::expected<void, std::string> finish();

  // Every writer has ended (its sample count reached, or failed).
  bool done() const noexcept;
  bool any_done() const noexcept;
  // In the session's (port, dock) order; imec<N> is the index.
  const std::vector<std::unique_ptr<ProbeWriter>>& writers() const noexcept { return writers_; }
  // What each probe's stream carries: for a raw capture's sidecar.
  const capture::Sidecar& streams() const noexcept { return sidecar_; }
  const spikeglx::Layout& layout() const noexcept { return options_.layout; }

 private:
  Run(Session& session, RunOptions options) : session_(session), options_(std::move(options)) {}
  std::expected<void, std::string> prepare();
  std::expected<imro::ProbeConfiguration, std::string> configuration_for(const ProbeHandle& probe) const;

  Session& session_;
  RunOptions options_;
  // Before the writers, which borrow it.
  std::unique_ptr<RunStart> start_;
  std::vector<std::unique_ptr<ProbeWriter>> writers_;
  capture::Sidecar sidecar_;
  std::vector<FileScale> file_scales_;  // NP2 probes on the file's scale while the run lasts
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace pelionp::record
