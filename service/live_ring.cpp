#include "service/live_ring.h"

#include "pelionp/demux/byte_budget.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace pelionp::service {

LiveRing::BudgetCharge::BudgetCharge(std::size_t bytes_) noexcept : bytes(bytes_) {
  demux::data_path_budget().charge(bytes);
}

LiveRing::BudgetCharge::~BudgetCharge() { demux::data_path_budget().credit(bytes); }

LiveRing::LiveRing(std::size_t channels, std::size_t capacity_rows, uint64_t ticks_per_row)
    : channels_(channels),
      capacity_(capacity_rows),
      ticks_per_row_(ticks_per_row),
      samples_(channels * capacity_rows),
      timestamps_(capacity_rows) {
  if (channels == 0 || capacity_rows == 0) throw std::invalid_argument("LiveRing needs channels and rows");
}

void LiveRing::write(uint64_t first_index, std::size_t rows, std::span<const int16_t> samples, uint64_t first_timestamp) {
  if (samples.size() < rows * channels_) throw std::invalid_argument("LiveRing::write: fewer samples than rows");
  {
    std::lock_guard lock(mutex_);
    if (empty_ || first_index < next_ || first_index - next_ >= capacity_) {
      // A first block, an overlap (the stream began anew) or a gap longer
      // than the ring: the ring begins at this block.
      oldest_ = next_ = first_index;
      empty_ = false;
    } else if (first_index > next_) {
      // A gap: zeros, as the files hold.
      const uint64_t ts_after = timestamps_[(next_ + capacity_ - 1) % capacity_] + ticks_per_row_;
      for (uint64_t i = next_; i < first_index; ++i) {
        const std::size_t pos = static_cast<std::size_t>(i % capacity_);
        std::fill_n(samples_.begin() + static_cast<std::ptrdiff_t>(pos * channels_), channels_, int16_t{0});
        timestamps_[pos] = ts_after + (i - next_) * ticks_per_row_;
      }
      next_ = first_index;
    }
    // Only the last `capacity_` rows of a long block stay.
    const std::size_t skip = rows > capacity_ ? rows - capacity_ : 0;
    for (std::size_t k = skip; k < rows; ++k) {
      const uint64_t index = first_index + k;
      const std::size_t pos = static_cast<std::size_t>(index % capacity_);
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(k * channels_), channels_,
                  samples_.begin() + static_cast<std::ptrdiff_t>(pos * channels_));
      timestamps_[pos] = first_timestamp + k * ticks_per_row_;
    }
    next_ = first_index + rows;
    if (next_ - oldest_ > capacity_) oldest_ = next_ - capacity_;
  }
  grown_.notify_all();
}

void LiveRing::reset() {
  {
    std::lock_guard lock(mutex_);
    empty_ = true;
    oldest_ = next_ = 0;
    ++generation_;
  }
  grown_.notify_all();
}

void LiveRing::wake_all() {
  {
    std::lock_guard lock(mutex_);
    ++generation_;
  }
  grown_.notify_all();
}

RingExtent LiveRing::extent_locked() const { return {.oldest = oldest_, .next = next_, .capacity = capacity_}; }

RingExtent LiveRing::extent() const {
  std::lock_guard lock(mutex_);
  return extent_locked();
}

RingRead LiveRing::read_locked(const RingRequest& request) const {
  const std::size_t d = std::max<std::size_t>(request.decimation, 1);
  const bool minmax = request.reduction == Reduction::minmax;
  RingBlock block;
  block.decimation = d;
  block.reduction = request.reduction;
  if (request.channels.empty()) {
    block.channels.resize(channels_);
    for (std::size_t c = 0; c < channels_; ++c) block.channels[c] = static_cast<int>(c);
  } else {
    block.channels = request.channels;
  }
  for (int c : block.channels)
    if (c < 0 || static_cast<std::size_t>(c) >= channels_) throw std::out_of_range("LiveRing::read: no such channel");

  uint64_t first = 0;
  std::size_t rows = 0;
  if (!request.start) {
    rows = static_cast<std::size_t>(std::min<uint64_t>(request.count, (next_ - oldest_) / d));
    first = next_ - rows * d;
  } else {
    first = *request.start;
    if (first > next_) return RingFuture{extent_locked()};
    if (first < oldest_ || (empty_ && first < next_)) return RingGone{extent_locked()};
    // A picked row needs the bin's first row, a min/max the whole bin.
    const uint64_t available = minmax ? (next_ - first) / d : (next_ - first + d - 1) / d;
    rows = static_cast<std::size_t>(std::min<uint64_t>(request.count, available));
  }
  block.first_index = first;
  block.rows = rows;
  if (rows > 0) block.first_timestamp = timestamps_[static_cast<std::size_t>(first % capacity_)];
  else if (!empty_ && first == next_) block.first_timestamp = timestamps_[(next_ + capacity_ - 1) % capacity_] + ticks_per_row_;
  const std::size_t width = block.channels.size();
  if (minmax) {
    block.samples.resize(2 * rows * width);
    for (std::size_t k = 0; k < rows; ++k) {
      int16_t* low = block.samples.data() + 2 * k * width;
      int16_t* high = low + width;
      std::fill_n(low, width, std::numeric_limits<int16_t>::max());
      std::fill_n(high, width, std::numeric_limits<int16_t>::min());
      for (std::size_t j = 0; j < d; ++j) {
        const std::size_t pos = static_cast<std::size_t>((first + k * d + j) % capacity_);
        const int16_t* row = samples_.data() + pos * channels_;
        for (std::size_t i = 0; i < width; ++i) {
          const int16_t v = row[block.channels[i]];
          low[i] = std::min(low[i], v);
          high[i] = std::max(high[i], v);
        }
      }
    }
    return block;
  }
  block.samples.resize(rows * width);
  auto out = block.samples.begin();
  for (std::size_t k = 0; k < rows; ++k) {
    const std::size_t pos = static_cast<std::size_t>((first + k * d) % capacity_);
    const int16_t* row = samples_.data() + pos * channels_;
    for (int c : block.channels) *out++ = row[c];
  }
  return block;
}

RingRead LiveRing::read(const RingRequest& request) const {
  std::lock_guard lock(mutex_);
  return read_locked(request);
}

RingRead LiveRing::wait_and_read(const RingRequest& request, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  if (request.start && request.count > 0) {
    const std::size_t d = std::max<std::size_t>(request.decimation, 1);
    const uint64_t wanted_end = *request.start + (request.count - 1) * d + (request.reduction == Reduction::minmax ? d : 1);
    const uint64_t generation = generation_;
    grown_.wait_for(lock, timeout, [&] {
      return generation_ != generation || next_ >= wanted_end || *request.start < oldest_ || *request.start > next_;
    });
  }
  return read_locked(request);
}

}  // namespace pelionp::service
