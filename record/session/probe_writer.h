#pragma once
// The writer of one probe: a thread that drains the probe's packet queue
// (under the queue's mutex, as its consumer must) into the probe's
// recording until it has the samples it was asked for, or until told to
// finish, then writes out everything still queued at that moment and
// closes the files. Given the run's `RunStart`, it skips the packets that
// came before the run's start, so every file of the run begins together.
//
// Threading: the writer thread owns the recording from `start` until the
// thread ends; `join` hands back the outcome. `finish` and the counters may
// be used from any thread; the counters never touch the data.

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "record/session/run_start.h"
#include "record/session/session.h"
#include "record/spikeglx/recording.h"

#include "record/export.h"

namespace pelionp::record {

class PELIONP_RECORD_API ProbeWriter {
 public:
  // `ap_sample_limit`: stop after this many AP samples (0: until finish()).
  // NP1 limits should be whole superframes (12 samples) so that AP and LF
  // end together. `start` (borrowed; may be null: the file begins with the
  // first packet) must outlive the writer's thread. An NP1 file begins
  // with the first superframe whose first sample is at or after the start.
  ProbeWriter(const ProbeHandle& probe, std::unique_ptr<spikeglx::ProbeRecording> recording, uint64_t ap_sample_limit,
              RunStart* start = nullptr);
  ProbeWriter(const ProbeWriter&) = delete;
  ProbeWriter& operator=(const ProbeWriter&) = delete;
  ~ProbeWriter();  // finishes and joins if the owner did not

  void start();
  // Asks the thread to write what is queued now and stop.
  void finish() noexcept { finishing_.store(true, std::memory_order_release); }
  // The recording is closed; its outcome (the first error, if any).
  std::expected<void, std::string> join();

  // True once the thread has ended (limit reached, finished or failed).
  bool done() const noexcept { return done_.load(std::memory_order_acquire); }

  const ProbeHandle& probe() const noexcept { return probe_; }
  const spikeglx::ProbeRecording& recording() const noexcept { return *recording_; }
  // Packets taken from the queue (NP1 superframes, NP2 sets).
  uint64_t packets() const noexcept { return packets_.load(std::memory_order_relaxed); }
  // AP samples missing between packets, by their device timestamps, and
  // between the run's start and a stream that began after it.
  uint64_t dropped_samples() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  // Packets taken before the run's start and not written.
  uint64_t skipped_packets() const noexcept { return skipped_.load(std::memory_order_relaxed); }

 private:
  void run();
  template <class Packet, class Queue, class Write>
  std::expected<void, std::string> drain(Queue& queue, uint64_t samples_per_packet, Write write);
  void count_gap(uint64_t timestamp, uint64_t samples_per_packet);
  template <class Packet>
  std::span<const Packet> skip_before_start(std::span<const Packet> packets, uint64_t samples_per_packet);

  ProbeHandle probe_;
  std::unique_ptr<spikeglx::ProbeRecording> recording_;
  uint64_t limit_;
  RunStart* run_start_;
  // Set once the first packet at or after the run's start was written.
  bool begun_ = false;
  std::optional<uint64_t> start_timestamp_;
  std::optional<uint64_t> next_timestamp_;
  std::atomic<bool> finishing_{false};
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> skipped_{0};
  std::expected<void, std::string> outcome_;
  std::thread thread_;
};

}  // namespace pelionp::record
