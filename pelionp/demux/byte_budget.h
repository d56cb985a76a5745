#pragma once
// ByteBudget: the byte bound of the whole data path of the process.
//
// Charged: every device buffer, with its word lists (twice its length: a
// word list holds 16 bytes per 16-byte word), from the moment the
// demultiplexer is handed it until its last subscriber lets go; and every
// set waiting in a probe stream's queue for its host. Beyond the limit the
// newest data is dropped: the demultiplexer hands no entries of a new buffer
// to any stream, and a probe stream queues no new set. Those words count as
// StreamLosses::budget. The packet-count rule of each queue stays as well.
//
// An episode (over the limit until back under half of it) is warned about
// once when it begins and logged when it ends.
//
// Threading: any thread; lock-free.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pelionp/export.h"

namespace pelionp::demux {

class PELIONP_API ByteBudget {
public:
    /// 2 GiB: a lab PC's spare memory many times over for the seconds a host
    /// may stall (NP1: 50 s of one probe; NP2: 12 minutes).
    static constexpr std::size_t DEFAULT_LIMIT = std::size_t{2} << 30;

    explicit ByteBudget(std::size_t limit = DEFAULT_LIMIT) noexcept : limit_(limit) {}
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    /// Host: a new limit, applied from the next decision on.
    void set_limit(std::size_t bytes) noexcept { limit_.store(bytes, std::memory_order_relaxed); }
    [[nodiscard]] std::size_t limit() const noexcept { return limit_.load(std::memory_order_relaxed); }
    /// Bytes charged now (a snapshot).
    [[nodiscard]] std::size_t used_approx() const noexcept {
        const int64_t used = used_.load(std::memory_order_relaxed);
        return used > 0 ? static_cast<std::size_t>(used) : 0;
    }
    /// Over-limit episodes begun so far.
    [[nodiscard]] uint64_t episodes() const noexcept { return episodes_.load(std::memory_order_relaxed); }

    void charge(std::size_t bytes) noexcept { used_.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed); }
    void credit(std::size_t bytes) noexcept { used_.fetch_sub(static_cast<int64_t>(bytes), std::memory_order_relaxed); }

    /// Whether the newest data is to be dropped now; warns once as an episode
    /// begins and logs its end.
    [[nodiscard]] bool over() noexcept;

private:
    std::atomic<int64_t> used_{0};
    std::atomic<std::size_t> limit_;
    std::atomic<bool> episode_{false};
    std::atomic<uint64_t> episodes_{0};
};

/// The process's data path budget (every controller, coordinator and probe
/// stream charges it); `data_path_budget().set_limit(bytes)` sets it.
PELIONP_API ByteBudget& data_path_budget() noexcept;

}  // namespace pelionp::demux
