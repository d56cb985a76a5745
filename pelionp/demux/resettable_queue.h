#pragma once
// ResettableQueue<T>: the packet queue between a probe's decoder callbacks
// and the host.
//
// Threading contract: one producer (the decoder thread, `enqueue`, lock-free)
// and one consumer (the host). `clear()` is a consumer-side operation that the
// decoder thread runs during a resync, under `mutex`; a host that dequeues
// while a resync may happen takes `mutex` too (`try_dequeue` does).
#include <cstddef>
#include <mutex>
#include <utility>

#include "pelionp/demux/spsc_queue.h"

namespace pelionp::demux {

template <class T>
class ResettableQueue {
public:
    static constexpr std::size_t INITIAL_CAPACITY = 15;

    ResettableQueue() : queue(INITIAL_CAPACITY) {}

    /// Producer side. False only if a new block cannot be allocated.
    bool enqueue(const T& item) { return queue.enqueue(item); }
    bool enqueue(T&& item) { return queue.enqueue(std::move(item)); }

    /// Consumer side, under `mutex`.
    void clear() {
        std::lock_guard lock(mutex);
        while (queue.pop()) {
        }
    }

    /// Consumer side, under `mutex`: one element, if any.
    bool try_dequeue(T& item) {
        std::lock_guard lock(mutex);
        return queue.try_dequeue(item);
    }

    [[nodiscard]] std::size_t size_approx() const { return queue.size_approx(); }

    moodycamel::ReaderWriterQueue<T, 512> queue;
    std::mutex mutex;
};

}  // namespace pelionp::demux
