#pragma once
// The writer of one probe: a thread that drains the probe's packet queue
// (under the queue's mutex, as its consumer must) into the probe's
// recording until it has the samples it was asked for, or until told to
// finish, then writes out everything still queued at that moment and
// closes the files.
//
// Threading: the writer thread owns the recording from `start` until the
// thread ends; `join` hands back the outcome. `finish` and the counters may
// be used from any thread; the counters never touch the data.

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "record/session/session.h"
#include "record/spikeglx/recording.h"

#include "record/export.h"

namespace pelionp::record {

class PELIONP_RECORD_API ProbeWriter {
 public:
  // `ap_sample_limit`: stop after this many AP samples (0: until finish()).
  // NP1 limits should be whole superframes (12 samples) so that AP and LF
  // end together.
  ProbeWriter(const ProbeHandle& probe, std::unique_ptr<spikeglx::ProbeRecording> recording, uint64_t ap_sample_limit);
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
  // AP samples missing between packets, by their device timestamps.
  uint64_t dropped_samples() const noexcept { return dropped_.load(std::memory_order_relaxed); }

 private:
  void run();
  template <class Packet, class Queue, class Write>
  std::expected<void, std::string> drain(Queue& queue, uint64_t samples_per_packet, Write write);
  void count_gap(uint64_t first_timestamp, uint64_t samples_per_packet);

  ProbeHandle probe_;
  std::unique_ptr<spikeglx::ProbeRecording> recording_;
  uint64_t limit_;
  std::optional<uint64_t> next_timestamp_;
  std::atomic<bool> finishing_{false};
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> dropped_{0};
  std::expected<void, std::string> outcome_;
  std::thread thread_;
};

}  // namespace pelionp::record
