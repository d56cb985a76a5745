#include "record/session/run_start.h"

#include <algorithm>

namespace pelionp::record {

RunStart::RunStart(std::size_t writers, std::optional<uint64_t> fixed) : waiting_for_(writers), start_(fixed) {}

uint64_t RunStart::agree(uint64_t first_timestamp, std::chrono::steady_clock::duration patience) {
  std::unique_lock lock(mutex_);
  if (start_) return *start_;
  latest_ = std::max(latest_.value_or(first_timestamp), first_timestamp);
  if (waiting_for_ > 0) --waiting_for_;
  if (waiting_for_ == 0) {
    start_ = latest_;
    changed_.notify_all();
    return *start_;
  }
  changed_.wait(lock, [&] { return start_.has_value() || streams_started_.has_value(); });
  if (!start_) changed_.wait_until(lock, *streams_started_ + patience, [&] { return start_.has_value(); });
  if (!start_) {
    start_ = latest_;
    changed_.notify_all();
  }
  return *start_;
}

void RunStart::streams_started() {
  std::lock_guard lock(mutex_);
  if (!streams_started_) streams_started_ = std::chrono::steady_clock::now();
  changed_.notify_all();
}

void RunStart::cancel() {
  std::lock_guard lock(mutex_);
  // NB: with nothing reported there is nothing to agree on; writers that
  // report later start where their own stream begins.
  if (!start_ && latest_) start_ = latest_;
  waiting_for_ = 0;
  changed_.notify_all();
}

std::optional<uint64_t> RunStart::decided_approx() const {
  std::lock_guard lock(mutex_);
  return start_;
}

}  // namespace pelionp::record
