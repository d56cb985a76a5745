#pragma once
// One recording of the probes of a session (all of them, or a subset):
// each probe's calibration, its configuration (an IMRO-derived table or the
// library's defaults) applied and uploaded, its files created (with its
// ProbeInterface description and the run's), a writer thread per probe, and
// the probes' streams.
//
//   auto run = Run::create(session, {.layout = {dir, "mouse1"}, .ap_samples = 60000});
//   run->start();  run->wait(2min);  run->finish();
//
// Gates: a run goes to DIR/<run>_g<G>/. Unless the host names a gate, G is
// one past the highest gate already in DIR (0 in an empty folder), so a
// second run with the same name keeps the first; a named gate whose files
// exist is refused (`RunErrorKind::file_exists`). Nothing is ever truncated.
//
// Ownership: the run borrows the session, which must outlive it; it owns
// the writers (and through them the files). Threading: create, start, wait
// and finish from one thread; done(), ended() and the writers' counters from
// any. The sample tap runs on the writer threads.
// Errors: create fails, naming the probe, on the first probe that cannot
// be calibrated, configured, uploaded or given files; finish reports every
// writer's and stream's failure. Each carries a kind a host can act on.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <span>
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
#include "record/io/io_recording.h"
#include "record/session/disk_room.h"
#include "record/session/file_scale.h"
#include "record/session/probe_writer.h"
#include "record/session/run_start.h"
#include "record/session/run_types.h"
#include "record/session/session.h"
#include "record/spikeglx/recording.h"

namespace pelionp::record {

struct RunOptions {
  spikeglx::Layout layout{};  // root and run name; its gate is decided by `gate`
  // The gate to record into; unset: the next free one.
  std::optional<int> gate{};
  // The (port, dock) of each probe to record, in any order (files are
  // numbered in the session's order); empty: every probe of the session.
  std::vector<std::pair<int, int>> probes{};
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
  // The user's notes, written into every .meta (pelionpUserNotes).
  std::string notes{};
  // Each block the writers write, for live displays beside the files.
  SampleTap sample_tap{};
  // The sync column's source: this bit of the board's IO frames, at each
  // sample's device time (bit 0 of the column; the .meta says so). Unset:
  // the sync column is 0 (gaps aside). Needs the IO stream (`record_io`).
  std::optional<SyncBit> sync_bit{};
  // Records the board's IO frames beside the probes (see record/io). When
  // the session's controller has an IO stream already, the run records none
  // and says so, unless a sync bit is asked for (then it is refused).
  bool record_io = true;
  // A probe that delivers nothing this long is lost and ends the run.
  std::chrono::milliseconds stall_timeout{5000};
  // How long, once every stream was started, the writers wait for each
  // other's first packets to agree on the run's start; a stream still
  // silent then begins late (filled, `stream_late`).
  std::chrono::milliseconds start_patience{1000};
  // Kept free on the output folder's disk, beyond the writers' buffers
  // (three of 4 MiB a probe): a run with a sample count that would not
  // leave it is refused (`RunErrorKind::disk_full`, with the figures); an
  // unlimited run warns once less than ten minutes remain and stops, its
  // files closed, before it would write into it.
  uint64_t disk_margin_bytes = uint64_t{1} << 30;
  // How the .bin files are written: past the page cache (unbuffered, where
  // the file system allows; the CPU's copy into the cache is most of what
  // a full board's recording costs), or through it (`PageCache::used`).
  spikeglx::PageCache page_cache = spikeglx::PageCache::bypassed;
};

class PELIONP_RECORD_API Run {
 public:
  static std::expected<std::unique_ptr<Run>, RunError> create(Session& session, RunOptions options);

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run();  // finishes if the owner did not; failures are logged

  // Starts every writer, then every probe's stream. Every file begins at
  // the run's start (see `RunOptions::start_timestamp`); what a probe
  // streamed before it is skipped.
  std::expected<void, RunError> start();
  // Blocks until the run has ended (see `ended`) or `timeout` has passed;
  // true once it has ended. The host then calls finish().
  bool wait(std::chrono::steady_clock::duration timeout);
  // Writes what is queued, joins the writers, stops the streams and closes
  // the files; reports every failure, joined with "; ", with the kind of
  // the first.
  std::expected<void, RunError> finish();

  // Every writer has ended (its sample count reached, or failed).
  bool done() const noexcept;
  bool any_done() const noexcept;
  // Nothing more will be recorded: every writer ended, or one failed (a
  // run without a sample count ends only so).
  bool ended() const noexcept;
  // In the session's (port, dock) order; imec<N> is the index.
  const std::vector<std::unique_ptr<ProbeWriter>>& writers() const noexcept { return writers_; }
  // What each probe's stream carries: for a raw capture's sidecar.
  const capture::Sidecar& streams() const noexcept { return sidecar_; }
  // Minutes of recording left on the output folder's disk before the run
  // stops for want of room; nothing before the writers first looked.
  std::optional<double> disk_minutes_left() const noexcept;
  // The IO frames recorded so far (0 without an IO file).
  uint64_t io_frames() const noexcept { return io_ ? io_->frames() : 0; }
  // The layout with the gate the run records into.
  const spikeglx::Layout& layout() const noexcept { return options_.layout; }

 private:
  Run(Session& session, RunOptions options) : session_(session), options_(std::move(options)) {}
  std::expected<void, RunError> prepare();
  void writer_ended();
  std::expected<imro::ProbeConfiguration, std::string> configuration_for(const ProbeHandle& probe) const;

  Session& session_;
  RunOptions options_;
  // Before the writers, which borrow it.
  std::unique_ptr<RunStart> start_;
  std::unique_ptr<DiskRoom> disk_;
  // The IO file, before the writers that read its sync track, and the IO
  // worker whose thread writes it (stopped and released before it closes).
  std::unique_ptr<io::IORecording> io_;
  std::shared_ptr<demux::NeuropixelsWorker> io_worker_;
  std::vector<std::unique_ptr<ProbeWriter>> writers_;
  capture::Sidecar sidecar_;
  std::vector<FileScale> file_scales_;  // NP2 probes on the file's scale while the run lasts
  mutable std::mutex ended_mutex_;
  std::condition_variable ended_changed_;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace pelionp::record
