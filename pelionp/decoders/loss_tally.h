#pragma once
// A probe stream's own part of the loss accounting (see stream_counters.h),
// written by its decoder thread only; the demultiplexer's part (on the SID
// queue) and the worker's (words a resync discarded) are read beside it.
#include <atomic>
#include <cstdint>

#include "pelionp/decoders/stream_counters.h"
#include "pelionp/demux/neuropixels_worker.h"

namespace pelionp {

/// A counter with one writer (the decoder thread) and any readers: a relaxed
/// load and store, not a read-modify-write, on the hot path.
inline void single_writer_add(std::atomic<uint64_t>& counter, uint64_t n) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
[[nodiscard]] inline uint64_t relaxed_get(const std::atomic<uint64_t>& counter) noexcept {
    return counter.load(std::memory_order_relaxed);
}

struct LossTally {
    std::atomic<uint64_t> delivered{0}, queue_full{0}, budget{0}, incomplete{0}, sync{0}, memory{0}, resync{0};

    /// The stream's counters: its packets and drops, this tally and what the
    /// demultiplexer and the worker counted for it.
    [[nodiscard]] StreamCounters counters(uint64_t packets, uint64_t drops, const demux::NeuropixelsWorker& worker,
                                          uint32_t words_per_set) const noexcept {
        const auto get = relaxed_get;
        StreamCounters c{packets, drops, worker.resyncs()};
        const auto& demuxed = worker.queue()->losses;
        c.words_delivered = get(delivered);
        c.lost = {.queue_full = get(queue_full),
                  .budget = get(budget) + get(demuxed.budget_words),
                  .incomplete = get(incomplete),
                  .sync = get(sync),
                  .wire = get(demuxed.wire_words),
                  .memory = get(memory) + get(demuxed.memory_words),
                  .resync = get(resync) + worker.words_discarded()};
        c.words_per_set = words_per_set;
        return c;
    }
};

}  // namespace pelionp
