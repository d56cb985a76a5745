#pragma once
// GainSnapshot<N>: per-channel gain corrections that a host thread may change
// while a decoder thread applies them.
//
// Threading contract: `set`, `set_channel` and `value` on any host thread
// (under the table's mutex); `snapshot` on the decoder thread alone. The
// decoder's copy is refreshed only when a change was published (one atomic
// load per sample set otherwise), so the correction loops run over a plain
// array and every set uses one consistent table: a change lands between two
// sets, never inside one.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace pelionp {

template <std::size_t N>
class GainSnapshot {
public:
    explicit GainSnapshot(std::span<const float, N> initial) {
        std::copy(initial.begin(), initial.end(), host_.begin());
        snapshot_ = host_;
    }
    GainSnapshot(const GainSnapshot&) = delete;
    GainSnapshot& operator=(const GainSnapshot&) = delete;

    /// Host: replaces the whole table.
    void set(std::span<const float, N> gains) {
        std::lock_guard lock(mutex_);
        std::copy(gains.begin(), gains.end(), host_.begin());
        version_.fetch_add(1, std::memory_order_release);
    }
    /// Host: one channel's factor.
    void set_channel(std::size_t channel, float gain) {
        std::lock_guard lock(mutex_);
        host_[channel] = gain;
        version_.fetch_add(1, std::memory_order_release);
    }
    /// Host: the factor the next sample set will use.
    [[nodiscard]] float value(std::size_t channel) const {
        std::lock_guard lock(mutex_);
        return host_[channel];
    }

    /// Decoder thread: the table as of the last published change.
    const std::array<float, N>& snapshot() {
        if (const uint64_t v = version_.load(std::memory_order_acquire); v != seen_) [[unlikely]] {
            std::lock_guard lock(mutex_);
            snapshot_ = host_;
            seen_ = version_.load(std::memory_order_relaxed);
        }
        return snapshot_;
    }

private:
    mutable std::mutex mutex_;
    std::array<float, N> host_{};
    std::atomic<uint64_t> version_{0};
    // The decoder thread's own.
    uint64_t seen_ = 0;
    alignas(64) std::array<float, N> snapshot_{};
};

}  // namespace pelionp
