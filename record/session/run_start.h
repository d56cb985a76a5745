#pragma once
// The device timestamp at which every file of a run begins.
//
// A run subscribes its probes one after another while the board already
// streams, so each probe's first packet carries a different timestamp,
// and which one depends on scheduling. Either the host names the start
// (`fixed`), or the writers agree on it: each reports the timestamp of
// its first packet, and the start is the latest of them, the first moment
// at which every probe streams. Writers then skip what came before it, so
// the files of one run cover the same stretch of device time.
//
// Threading: `agree` is called once by each writer thread and blocks until
// every writer has reported, `patience` has passed since `streams_started`
// (a run still starting its streams is waited for however slow the machine
// is) or `cancel` is called;
// once decided, the start never changes and later callers get it at once.
// `cancel` and `decided_approx` may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "record/export.h"

namespace pelionp::record {

class PELIONP_RECORD_API RunStart {
 public:
  // `writers`: how many will report. `fixed`: the start, decided already.
  RunStart(std::size_t writers, std::optional<uint64_t> fixed);
  RunStart(const RunStart&) = delete;
  RunStart& operator=(const RunStart&) = delete;

  // Reports a writer's first timestamp; returns the run's start. Once
  // `patience` has passed since `streams_started`, or once cancelled, the
  // start is the latest timestamp reported so far: a writer whose stream
  // never began does not hold the others.
  uint64_t agree(uint64_t first_timestamp, std::chrono::steady_clock::duration patience);
  // The run has started every stream it could; waits end `patience` later.
  void streams_started();
  // Ends every wait (the run is finishing).
  void cancel();
  std::optional<uint64_t> decided_approx() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t waiting_for_;
  std::optional<std::chrono::steady_clock::time_point> streams_started_;
  std::optional<uint64_t> latest_;
  std::optional<uint64_t> start_;
};

}  // namespace pelionp::record
