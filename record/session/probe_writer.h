#pragma once
// The writer of one probe: a thread that drains the probe's packet queue
// (under the queue's mutex, as its consumer must) into the probe's
// recording until it has the samples it was asked for, or until told to
// finish, then writes out everything still queued at that moment and
// closes the files. Given the run's `RunStart`, it skips the packets that
// came before the run's start, so every file of the run begins together.
//
// Time is kept in place: the sample at file index i is the one of device
// time t0 + i (t0 the run's start; NP1 LF: t0 + 12 i). Samples the probe
// did not deliver (a stream that began late, packets lost to a full queue,
// a decoder resync, a stretch without data) are filled with zero rows whose
// sync column says so, and listed in the .meta and the log. A packet whose
// timestamp goes back is counted, logged and not written (its place in the
// file is taken); a jump back of more than a second is the board's clock
// starting again: the file goes on where it was, from the new timestamps.
//
// Threading: the writer thread owns the recording from `start` until the
// thread ends; `join` hands back the outcome. `finish`, `gaps` and the
// counters may be used from any thread; the counters never touch the data.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "record/session/run_start.h"
#include "record/session/run_types.h"
#include "record/session/session.h"
#include "record/spikeglx/recording.h"

#include "record/export.h"

namespace pelionp::record {

// The sync column's value at a device timestamp (see io::SyncTrack);
// called on the writer thread, for timestamps that only grow.
using SyncLookup = std::function<int16_t(uint64_t timestamp)>;

// The decoded stream a writer drains: a live probe's, or one that a replay
// feeds from a capture.
using StreamPointer = std::variant<NP1::ProbeStream*, NP2::ProbeStream*>;
struct PELIONP_RECORD_API WriterSource {
  StreamPointer stream;             // borrowed: must outlive the writer's thread
  ProbeKind kind = ProbeKind::np1;
  std::string name;                 // who the log lines are about, e.g. "NP1 probe on port 0"
};

// What a writer needs beyond its probe and files; all optional.
struct PELIONP_RECORD_API WriterHooks {
  int index = 0;                // imec<N>, for the tap's blocks
  SampleTap tap{};              // after each written block
  std::function<void()> on_end{};  // on the writer thread, once it has ended
  // No packet for this long ends the writer (`RunErrorKind::device_lost`); 0: never.
  std::chrono::milliseconds stall_timeout{0};
  // How long a writer holding its first packets waits for the others' once
  // the run has started every stream (RunStart). NB: its queue fills
  // meanwhile; a second is far less than a packet queue holds (over four
  // seconds of one probe) and more than a started stream takes to deliver
  // on an ordinary machine.
  std::chrono::milliseconds start_patience{1000};
  // The .meta files are rewritten at least this often.
  std::chrono::milliseconds checkpoint_period{500};
  SyncLookup sync{};            // unset: sync column 0
  std::string sync_source = "none";  // what the .meta says the sync column carries
  // The writer stops cleanly (files closed, `RunErrorKind::disk_full`)
  // once this says so; asked at each checkpoint and every MiB written. Unset: never.
  std::function<std::optional<std::string>()> out_of_room{};
};

class PELIONP_RECORD_API ProbeWriter {
 public:
  // `ap_sample_limit`: stop after this many AP samples (0: until finish()).
  // NP1 limits should be whole superframes (12 samples) so that AP and LF
  // end together. `start` (borrowed; may be null: the file begins with the
  // first packet) must outlive the writer's thread. An NP1 file begins
  // with the first superframe whose first sample is at or after the start.
  ProbeWriter(const ProbeHandle& probe, std::unique_ptr<spikeglx::ProbeRecording> recording, uint64_t ap_sample_limit,
              RunStart* start = nullptr, WriterHooks hooks = {});
  // A writer of a stream without a session's probe (a replay); `probe()`
  // is then an empty handle.
  ProbeWriter(WriterSource source, std::unique_ptr<spikeglx::ProbeRecording> recording, uint64_t ap_sample_limit,
              RunStart* start = nullptr, WriterHooks hooks = {});
  ProbeWriter(const ProbeWriter&) = delete;
  ProbeWriter& operator=(const ProbeWriter&) = delete;
  ~ProbeWriter();  // finishes and joins if the owner did not

  void start();
  // Asks the thread to write what is queued now and stop; wakes it if it
  // waits on an empty queue.
  void finish() noexcept;
  // The recording is closed; its outcome (the first error, if any).
  std::expected<void, RunError> join();

  // True once the thread has ended (limit reached, finished or failed).
  bool done() const noexcept { return done_.load(std::memory_order_acquire); }
  // True once the thread has ended on a failure.
  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

  const ProbeHandle& probe() const noexcept { return probe_; }
  const spikeglx::ProbeRecording& recording() const noexcept { return *recording_; }
  // Packets taken from the queue (NP1 superframes, NP2 sets).
  uint64_t packets() const noexcept { return packets_.load(std::memory_order_relaxed); }
  // AP samples filled in for samples the probe did not deliver: between
  // packets, by their device timestamps, and between the run's start and a
  // stream that began after it.
  uint64_t dropped_samples() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  // Packets taken before the run's start and not written.
  uint64_t skipped_packets() const noexcept { return skipped_.load(std::memory_order_relaxed); }
  // Packets whose first timestamp was below the one expected.
  uint64_t backward_timestamps() const noexcept { return backward_.load(std::memory_order_relaxed); }
  // The AP gaps filled so far (a copy).
  std::vector<spikeglx::Gap> gaps() const;
  // The run's start as this writer uses it, once known.
  std::optional<uint64_t> start_timestamp() const noexcept;
  // After `join`: the device time the file spans, in AP samples, from the
  // timestamps (the stretches before and after a restart of the board's
  // clock added up).
  uint64_t device_time_spanned() const noexcept {
    return begun_ ? earlier_segments_ + (next_timestamp_ - segment_start_) : 0;
  }

 private:
  void run();
  template <class Packet, class Queue, class Write>
  std::expected<void, RunError> drain(Queue& queue, uint64_t samples_per_packet, Write write);
  template <class Packet>
  std::span<const Packet> skip_before_start(std::span<const Packet> packets, uint64_t samples_per_packet);
  // Places a packet beginning at `timestamp` in time: fills what is missing
  // before it; false when the packet is not to be written (it went back).
  std::expected<bool, std::string> place(uint64_t timestamp, uint64_t samples_per_packet);
  std::expected<void, std::string> fill(uint64_t samples, std::string cause);
  std::string cause_of_gap(uint64_t samples, uint64_t samples_per_packet);
  void tap(spikeglx::Band band, uint64_t first_sample, std::span<const int16_t> rows, uint64_t first_timestamp) const;
  std::expected<void, RunError> checkpoint_if_due(bool force);
  uint64_t room_left(uint64_t samples_per_packet) const;

  ProbeHandle probe_{};
  WriterSource source_;
  std::unique_ptr<spikeglx::ProbeRecording> recording_;
  uint64_t limit_;
  RunStart* run_start_;
  WriterHooks hooks_;
  // Set once the first packet at or after the run's start was written.
  bool begun_ = false;
  std::atomic<uint64_t> start_timestamp_{0};
  std::atomic<bool> start_known_{false};
  // The device timestamp file index `recording_->ap_samples()` stands for.
  uint64_t next_timestamp_ = 0;
  uint64_t segment_start_ = 0;     // where the board's clock last began, in the file's time
  uint64_t earlier_segments_ = 0;  // device time spanned before the clock's last restart
  uint64_t superframe_phase_ = 0;  // NP1: the stream's superframes begin at timestamps of this phase (mod 12)
  std::string fill_error_;  // a fill before the first packet failed
  uint64_t last_resyncs_ = 0;
  uint64_t last_drops_ = 0;
  uint64_t unaccounted_refused_ = 0;  // samples of refused packets no gap has taken yet
  uint64_t queue_limit_;              // the stream's queue refuses packets beyond this many
  uint64_t queue_peak_ = 0;           // the deepest the queue was seen lately (see drain)
  uint64_t dequeued_since_peak_ = 0;
  std::chrono::steady_clock::time_point last_checkpoint_{};
  // The disk's room is looked at every this many bytes written, and at each checkpoint.
  static constexpr uint64_t ROOM_LOOK_BYTES = uint64_t{1} << 20;
  uint64_t last_room_look_ = 0;
  std::atomic<bool> finishing_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> skipped_{0};
  std::atomic<uint64_t> backward_{0};
  mutable std::mutex gaps_mutex_;
  std::vector<spikeglx::Gap> gaps_;
  std::expected<void, RunError> outcome_;
  std::thread thread_;
};

}  // namespace pelionp::record
