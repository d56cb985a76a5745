#pragma once
// The most recent samples of one probe's band, for clients that read while
// the probe records: a fixed ring of rows (one int16 per channel) with each
// row's device timestamp, filled by the thread that consumes the probe's
// packets (the recording's writer, or the streaming reader) and read by any
// number of request threads.
//
// Rows are numbered by their sample index in the stream (in a recording,
// the index in the file): a reader names where it wants to begin and gets
// those rows, or learns that they have already left the ring or are not
// there yet. A reader copies under the ring's mutex, so a writer waits at
// most one copy of what a request asks for; nothing a reader does ever
// blocks a writer for longer, and the ring never grows.
//
// Threading: `write`, `reset`, `read`, `wait_for` and `extent` from any
// thread; one writer at a time.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace pelionp::service {

struct RingExtent {
  uint64_t oldest = 0;  // first index still kept
  uint64_t next = 0;    // one past the newest index
  std::size_t capacity = 0;
};

// How `decimation` rows become one.
enum class Reduction : uint8_t {
  pick,    // the first row of every `decimation`
  minmax,  // per channel the minimum and the maximum of every `decimation` rows
};

struct RingBlock {
  uint64_t first_index = 0;
  std::size_t rows = 0;        // rows returned (after decimation); minmax: bins
  std::size_t decimation = 1;  // rows of the stream per row returned
  Reduction reduction = Reduction::pick;
  std::vector<int> channels;
  uint64_t first_timestamp = 0;
  // Row-major: rows x channels; minmax: per bin a row of minima, then one
  // of maxima (2 x rows x channels).
  std::vector<int16_t> samples;
};

// Why rows could not be read.
struct RingGone {  // the first asked-for row has left the ring
  RingExtent extent;
};
struct RingFuture {  // the first asked-for row is later than the newest row + 1
  RingExtent extent;
};
using RingRead = std::variant<RingBlock, RingGone, RingFuture>;

struct RingRequest {
  // Unset: the latest `count` rows (after decimation, ending at the newest).
  std::optional<uint64_t> start;
  std::size_t count = 0;       // rows wanted, after decimation
  std::vector<int> channels;   // empty: all
  std::size_t decimation = 1;  // >= 1
  // NB: minmax returns whole bins only, so a reader that goes on from the
  // block's end never sees a bin twice; a spike shorter than a bin stays.
  Reduction reduction = Reduction::pick;
};

class LiveRing {
 public:
  // `ticks_per_row`: device timestamp ticks between rows (AP 1, NP1 LF 12).
  LiveRing(std::size_t channels, std::size_t capacity_rows, uint64_t ticks_per_row = 1);
  LiveRing(const LiveRing&) = delete;
  LiveRing& operator=(const LiveRing&) = delete;

  // Appends `rows` rows (row-major, `channels()` values each) beginning at
  // stream index `first_index`, the first with device timestamp
  // `first_timestamp` and each next one a tick later. A block beginning
  // after the newest row leaves the rows between as zeros (a gap, as the
  // files fill it); one beginning before it starts the ring anew there.
  void write(uint64_t first_index, std::size_t rows, std::span<const int16_t> samples, uint64_t first_timestamp);
  // Forgets every row; the next write begins the ring.
  void reset();

  // Copies the rows of a request. A request reaching past the newest row
  // gets the rows there are (possibly none); a start later than the newest
  // row + 1 is RingFuture; one older than the oldest kept row is RingGone.
  RingRead read(const RingRequest& request) const;
  // Waits until the ring holds `request.start + count * decimation` rows, or
  // until `timeout`; then reads as `read` does.
  RingRead wait_and_read(const RingRequest& request, std::chrono::milliseconds timeout) const;
  // Wakes every waiting reader (the service is stopping).
  void wake_all();

  RingExtent extent() const;
  std::size_t channels() const noexcept { return channels_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t bytes() const noexcept { return samples_.size() * sizeof(int16_t) + timestamps_.size() * sizeof(uint64_t); }

 private:
  RingRead read_locked(const RingRequest& request) const;
  RingExtent extent_locked() const;

  const std::size_t channels_;
  const std::size_t capacity_;
  const uint64_t ticks_per_row_;
  mutable std::mutex mutex_;
  mutable std::condition_variable grown_;
  std::vector<int16_t> samples_;
  std::vector<uint64_t> timestamps_;
  // The ring's memory counts in the process's data path budget while the
  // ring lives, so live data and queued data share one bound.
  struct BudgetCharge {
    explicit BudgetCharge(std::size_t bytes) noexcept;
    ~BudgetCharge();
    BudgetCharge(const BudgetCharge&) = delete;
    BudgetCharge& operator=(const BudgetCharge&) = delete;
    const std::size_t bytes;
  };
  BudgetCharge charge_{bytes()};
  bool empty_ = true;
  uint64_t oldest_ = 0;
  uint64_t next_ = 0;
  uint64_t generation_ = 0;  // bumped by reset and wake_all
};

}  // namespace pelionp::service
