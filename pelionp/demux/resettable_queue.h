#pragma once
// ResettableQueue<T>: the packet queue between a probe's decoder callbacks
// and the host.
//
// Threading contract: one producer (the decoder thread: `enqueue`, lock-free)
// and one consumer (the host: `try_dequeue`, `wait_dequeue_timed`, the bulk
// dequeues). `clear()` is a consumer-side operation that the decoder thread
// runs during a resync; every consumer-side operation takes the queue's one
// mutex (a bulk dequeue once per batch), never while it blocks, so a host
// that dequeues while a resync happens sees the queue before or after the
// clear, never half of it. `wake()` (any thread) releases a host blocked in
// a wait, e.g. to stop its writer.
//
// Memory: a host that stalls lets the queue grow (up to what its producer
// allows); once the host has caught up, the producer hands the grown storage
// back beyond `KEPT_BYTES` (see `enqueue`), so a stall does not leave the
// process larger than before it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>
#include <utility>

#include "pelionp/demux/byte_budget.h"
#include "pelionp/demux/free_memory.h"
#include "pelionp/demux/wakeable_queue.h"

namespace pelionp::demux {

/// Whether an enqueue wakes a waiting host at once, or at the producer's
/// next `signal_deferred`.
enum class Wake : bool { now, deferred };

template <class T>
class ResettableQueue {
public:
    using value_type = T;
    static constexpr std::size_t INITIAL_CAPACITY = 15;

    ResettableQueue() : queue_(INITIAL_CAPACITY) {}
    ~ResettableQueue() {
        if (budget_ != nullptr) {
            budget_->charge(deferred_charge_);
            budget_->credit(queue_.size_approx() * sizeof(T));
        }
    }
    ResettableQueue(const ResettableQueue&) = delete;
    ResettableQueue& operator=(const ResettableQueue&) = delete;

    /// Storage kept however long the queue once was: what a host that keeps
    /// up needs, many times over (about 80 ms of one probe's packets or
    /// samples), so that the bursts of large device buffers do not hand
    /// storage back and allocate it again every time.
    static constexpr std::size_t KEPT_BYTES = std::size_t{4} << 20;
    static constexpr std::size_t KEPT_CAPACITY = std::max<std::size_t>(512, KEPT_BYTES / sizeof(T));
    /// The storage is looked at every this many enqueues, and handed back when
    /// no more than this many elements are queued (they move to fresh storage).
    static constexpr std::size_t RELEASE_CHECK_PERIOD = 128;
    static constexpr std::size_t RELEASE_MAX_MOVED = 64;

    /// Producer side. False only if a new block cannot be allocated.
    bool enqueue(const T& item) { return after_enqueue(queue_.enqueue(item)); }
    bool enqueue(T&& item) { return after_enqueue(queue_.enqueue(std::move(item))); }
    /// Producer side: enqueued without waking the host until `signal_deferred`
    /// (see WakeableQueue): one wake-up per device buffer, not per element.
    /// NB: such elements are charged to the budget at `signal_deferred` too,
    /// in one sum: an atomic add per element, on a line every decoder and
    /// host touches, was a tenth of a full board's decoding time. Until
    /// then the budget is short by at most one word list's sets.
    bool enqueue_deferred(const T& item) { return after_enqueue(queue_.enqueue_deferred(item), Wake::deferred); }
    bool enqueue(const T& item, Wake wake) { return wake == Wake::now ? enqueue(item) : enqueue_deferred(item); }
    void signal_deferred() {
        if (budget_ != nullptr && deferred_charge_ != 0) budget_->charge(std::exchange(deferred_charge_, 0));
        queue_.signal_deferred();
    }
    /// Producer side: the element built in its slot from `maker` (which
    /// converts to T), so a set is written once, where the host takes it.
    template <class Maker>
    bool enqueue_made(Maker&& maker, Wake wake) {
        return after_enqueue(wake == Wake::now ? queue_.emplace(std::forward<Maker>(maker))
                                               : queue_.emplace_deferred(std::forward<Maker>(maker)),
                             wake);
    }

    /// Before the first enqueue: every element queued is charged to `budget`
    /// (which must outlive the queue) until it is taken or cleared.
    void charge_to(ByteBudget& budget) noexcept { budget_ = &budget; }

    /// Consumer side: removes every element; how many it removed.
    std::size_t clear() { return taken(queue_.clear()); }

    /// Consumer side: one element, if any.
    bool try_dequeue(T& item) {
        const Consuming consuming(*this);
        return taken(queue_.try_dequeue(item)) != 0;
    }
    /// Consumer side: one element, waiting up to `timeout` for it; false on
    /// the deadline, a `wake`, and at once once the queue is closed and empty.
    template <class Rep, class Period>
    bool wait_dequeue_timed(T& item, std::chrono::duration<Rep, Period> timeout) {
        const Consuming consuming(*this);
        if (closed()) return taken(queue_.try_dequeue(item)) != 0;
        return taken(queue_.wait_dequeue_timed(item, timeout)) != 0;
    }
    /// Consumer side: up to `max` elements under one lock; how many.
    std::size_t try_dequeue_bulk(T* out, std::size_t max) {
        const Consuming consuming(*this);
        return taken(queue_.try_dequeue_bulk(out, max));
    }
    /// Consumer side: waits up to `timeout` for the first element, then takes
    /// up to `max` under one lock; how many (0 on the deadline, a `wake`, and
    /// at once once the queue is closed and empty).
    template <class Rep, class Period>
    std::size_t wait_dequeue_bulk_timed(T* out, std::size_t max, std::chrono::duration<Rep, Period> timeout) {
        const Consuming consuming(*this);
        if (closed()) return taken(queue_.try_dequeue_bulk(out, max));
        return taken(queue_.wait_dequeue_bulk_timed(out, max, timeout));
    }

    /// Any thread: the stream that fed the queue is gone (its probe was
    /// destroyed, e.g. when detection re-initialised a re-plugged
    /// headstage). A consumer blocked in a wait returns, and every later wait
    /// returns at once, with what is left and then empty-handed.
    void close() {
        closed_.store(true, std::memory_order_release);
        queue_.wake();
    }
    /// Whether `close` was called: a host whose wait returned empty-handed
    /// tells a stream that ended from a quiet one.
    [[nodiscard]] bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }
    /// The owner, after `close`: returns once no consumer is inside a queue
    /// operation, so that the queue may go even while a host still holds a
    /// reference to it (its next call is the host's own use after free, but
    /// no call in progress is cut short). Never call it from a consumer.
    void wait_for_consumers_to_leave() {
        while (consumers_.load(std::memory_order_acquire) != 0) {
            queue_.wake();  // NB: a consumer that had just checked `closed` still meets this
            std::this_thread::yield();
        }
    }
    /// Consumers inside a queue operation now (a snapshot).
    [[nodiscard]] int consumers_approx() const noexcept { return consumers_.load(std::memory_order_relaxed); }

    /// Blocks every consumer-side operation (the host's dequeues, the resync's
    /// `clear`) until the returned lock is released: a host that stalls, as
    /// the soak test plays one.
    [[nodiscard]] std::unique_lock<std::mutex> hold_consumer() { return queue_.hold_consumer(); }

    /// Any thread: a consumer blocked in a wait returns early.
    void wake() { queue_.wake(); }

    [[nodiscard]] std::size_t size_approx() const { return queue_.size_approx(); }
    /// Consumer side (takes the lock): how many elements the storage holds
    /// without allocating.
    [[nodiscard]] std::size_t storage_capacity_approx() {
        const auto lock = hold_consumer();
        return queue_.storage_capacity_approx();
    }

private:
    std::size_t taken(std::size_t n) noexcept {
        if (budget_ != nullptr && n != 0) budget_->credit(n * sizeof(T));
        return n;
    }

    bool after_enqueue(bool enqueued, Wake wake = Wake::now) {
        if (enqueued && budget_ != nullptr) {
            if (wake == Wake::now) budget_->charge(sizeof(T));
            else deferred_charge_ += sizeof(T);
        }
        if (++since_release_check_ == RELEASE_CHECK_PERIOD) {
            since_release_check_ = 0;
            if (queue_.try_release_storage(KEPT_CAPACITY, RELEASE_MAX_MOVED)) return_free_memory_to_system();
        }
        return enqueued;
    }

    // Counts a consumer in an operation, for `wait_for_consumers_to_leave`.
    struct Consuming {
        explicit Consuming(ResettableQueue& q) noexcept : queue(q) {
            queue.consumers_.fetch_add(1, std::memory_order_acq_rel);
        }
        ~Consuming() { queue.consumers_.fetch_sub(1, std::memory_order_acq_rel); }
        Consuming(const Consuming&) = delete;
        Consuming& operator=(const Consuming&) = delete;
        ResettableQueue& queue;
    };

    WakeableQueue<T, 512, std::mutex> queue_;
    std::size_t since_release_check_ = 0;  // the producer's
    std::size_t deferred_charge_ = 0;      // the producer's: bytes queued since its last signal_deferred
    std::atomic<bool> closed_{false};
    std::atomic<int> consumers_{0};
    ByteBudget* budget_ = nullptr;
};

}  // namespace pelionp::demux
