#pragma once
// WakeableQueue<T>: a single-producer single-consumer queue whose consumer
// blocks until an element arrives, its deadline passes, or another thread
// wakes it (to notice a stop or a resync request without polling).
//
// Threading contract: one producer thread (`enqueue`); one consumer at a
// time (`try_dequeue*`, `wait_dequeue*`, `clear`), serialised by
// `ConsumerMutex` when more than one thread takes that role (a no-op lock by
// default); `wake` and `size_approx` from any thread. Elements are published
// with moodycamel's ReaderWriterQueue fences; moodycamel's lightweight
// semaphore does the blocking.
//
// NB: the semaphore counts elements and wake-ups together and may drift from
// the element count (an element taken before its signal, a wake-up that found
// an element, a batch taken at once). The consumer therefore always looks at
// the queue before it waits and takes a token without an element as a
// spurious wake-up, after which a wait goes on until its deadline: no element
// is ever waited past, since every enqueue signals once its element is
// visible.
//
// NB: a producer that hands on many elements at once may enqueue them with
// `enqueue_deferred` and wake the consumer once with `signal_deferred`: a
// consumer woken per element takes one, waits again and is woken again, a
// futex round trip and a context switch per element.
//
// NB: moodycamel's queue keeps every block it ever allocated. A queue whose
// consumer may lock (`ConsumerMutex` with try_lock) offers the producer
// `try_release_storage`, which swaps in fresh storage once a backlog has
// drained, so a host that stalled for seconds does not keep that memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

#include "pelionp/demux/spsc_queue.h"

namespace pelionp::demux {

/// The consumer lock of a queue with a single consumer thread.
struct NoConsumerLock {
    void lock() noexcept {}
    void unlock() noexcept {}
};

template <class T, std::size_t BLOCK_SIZE = 512, class ConsumerMutex = NoConsumerLock>
class WakeableQueue {
public:
    using Clock = std::chrono::steady_clock;

    explicit WakeableQueue(std::size_t initial_capacity = 15)
        : queue_(initial_capacity), initial_capacity_(initial_capacity) {}
    WakeableQueue(const WakeableQueue&) = delete;
    WakeableQueue& operator=(const WakeableQueue&) = delete;

    /// Producer. False only if a new block cannot be allocated.
    bool enqueue(T&& item) { return push(std::move(item)) && signal(); }
    bool enqueue(const T& item) { return push(item) && signal(); }
    /// Producer: like `enqueue`, but a waiting consumer is not woken until
    /// the producer's next `signal_deferred` (a consumer that looks finds the
    /// element at once). NB: a producer that defers must signal at the end of
    /// its batch, or the consumer sleeps until its deadline.
    bool enqueue_deferred(const T& item) {
        if (!push(item)) return false;
        deferred_ = true;
        return true;
    }
    /// Producer: `enqueue_deferred` of the element built in its slot as
    /// T(args...) (a type that converts to T builds it there: no copy).
    template <class... Args>
    bool emplace_deferred(Args&&... args) {
        if (!push_in_place(std::forward<Args>(args)...)) return false;
        deferred_ = true;
        return true;
    }
    /// Producer: `enqueue` of the element built in its slot.
    template <class... Args>
    bool emplace(Args&&... args) {
        return push_in_place(std::forward<Args>(args)...) && signal();
    }
    /// Producer: one wake-up for the elements enqueued deferred since the
    /// last call; nothing if there was none.
    void signal_deferred() {
        if (std::exchange(deferred_, false)) (void)signal();
    }

    /// Producer: when the storage has room for more than `keep_capacity`
    /// elements and at most `max_moved` are queued, moves those into fresh
    /// storage of the initial size and frees the old; true if it did. Never
    /// waits: false at once while a consumer holds the lock. Costs a walk over
    /// the storage's blocks when the queue is short enough.
    bool try_release_storage(std::size_t keep_capacity, std::size_t max_moved)
        requires requires(ConsumerMutex m) { m.try_lock(); }
    {
        if (count_.load(std::memory_order_relaxed) > max_moved) return false;
        std::unique_lock lock(consumer_, std::try_to_lock);
        if (!lock || queue_.max_capacity() <= keep_capacity || queue_.size_approx() > max_moved) return false;
        // Sized so that the moved elements never need an allocation.
        moodycamel::ReaderWriterQueue<T, BLOCK_SIZE> fresh(std::max(initial_capacity_, max_moved));
        T item;
        while (queue_.try_dequeue(item)) (void)fresh.try_enqueue(std::move(item));
        queue_ = std::move(fresh);  // a swap: `fresh` frees the old blocks
        return true;
    }

    /// Consumer: one element, if any, without blocking.
    bool try_dequeue(T& item) {
        std::lock_guard lock(consumer_);
        return take(item);
    }

    /// Consumer: up to `max` elements into `out` under one lock; how many.
    std::size_t try_dequeue_bulk(T* out, std::size_t max) {
        std::lock_guard lock(consumer_);
        std::size_t n = 0;
        while (n < max && take(out[n])) ++n;
        return n;
    }

    /// Consumer: one element, waiting up to `timeout`. False on the deadline,
    /// and early when `wake` was called since the last wait.
    template <class Rep, class Period>
    bool wait_dequeue_timed(T& item, std::chrono::duration<Rep, Period> timeout) {
        return wait_dequeue_until(item, Clock::now() + timeout);
    }
    bool wait_dequeue_until(T& item, Clock::time_point deadline) {
        return wait_until(deadline, [&] { return try_dequeue(item) ? std::size_t{1} : std::size_t{0}; }) != 0;
    }

    /// Consumer: waits like `wait_dequeue_timed` for the first element, then
    /// takes up to `max` under one lock; how many (0 on the deadline or a
    /// wake-up).
    template <class Rep, class Period>
    std::size_t wait_dequeue_bulk_timed(T* out, std::size_t max, std::chrono::duration<Rep, Period> timeout) {
        return wait_dequeue_bulk_until(out, max, Clock::now() + timeout);
    }
    std::size_t wait_dequeue_bulk_until(T* out, std::size_t max, Clock::time_point deadline) {
        if (max == 0) return 0;
        return wait_until(deadline, [&] { return try_dequeue_bulk(out, max); });
    }

    /// Consumer: drops every element now queued. NB: takes none of the
    /// semaphore's tokens, since it may run on another thread than the one
    /// waiting (the decoder thread's resync while the host waits) and the
    /// semaphore allows one waiter; the thread that waits takes them back
    /// before its next wait. Returns how many it dropped.
    std::size_t clear() {
        std::lock_guard lock(consumer_);
        std::size_t dropped = 0;
        while (queue_.pop()) {
            count_.fetch_sub(1, std::memory_order_relaxed);
            ++dropped;
        }
        owed_tokens_.fetch_add(dropped, std::memory_order_relaxed);
        return dropped;
    }

    /// Holds the consumer side (every dequeue and `clear`) until the lock
    /// goes.
    [[nodiscard]] std::unique_lock<ConsumerMutex> hold_consumer() { return std::unique_lock(consumer_); }

    /// Any thread: the consumer's current or next wait returns (empty-handed
    /// unless an element is there) so that it looks at its flags.
    void wake() {
        woken_.store(true, std::memory_order_release);
        items_.signal();
    }

    /// Producer or a consumer holding the lock: how many elements the
    /// storage holds without allocating (a walk over its blocks).
    [[nodiscard]] std::size_t storage_capacity_approx() const { return queue_.max_capacity(); }

    /// Any thread; O(1). Counts an element from just before it is enqueued
    /// until just after it is taken, so it never reads less than the queue
    /// holds.
    [[nodiscard]] std::size_t size_approx() const { return count_.load(std::memory_order_relaxed); }

private:
    bool take(T& item) {
        if (!queue_.try_dequeue(item)) return false;
        count_.fetch_sub(1, std::memory_order_relaxed);
        (void)items_.tryWait();
        return true;
    }

    /// Counts the element before it becomes visible, so that `size_approx`
    /// never reads less than the queue holds.
    template <class U>
    bool push(U&& item) {
        count_.fetch_add(1, std::memory_order_relaxed);
        if (queue_.enqueue(std::forward<U>(item))) return true;
        count_.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }

    template <class... Args>
    bool push_in_place(Args&&... args) {
        count_.fetch_add(1, std::memory_order_relaxed);
        if (queue_.emplace(std::forward<Args>(args)...)) return true;
        count_.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }

    bool signal() {
        items_.signal();
        return true;
    }

    /// The waiting thread: takes the tokens of elements that `clear` dropped.
    /// A token whose signal has not come yet stays owed.
    /// NB: a token taken here may be that of an element enqueued since (the
    /// owed one's signal came first, or its element was taken before it):
    /// true when it took any, and the caller looks at the queue again before
    /// it waits.
    bool settle_owed_tokens() {
        std::size_t owed = owed_tokens_.exchange(0, std::memory_order_relaxed);
        const std::size_t before = owed;
        while (owed > 0 && items_.tryWait()) --owed;
        if (owed > 0) owed_tokens_.fetch_add(owed, std::memory_order_relaxed);
        return owed != before;
    }

    template <class Take>
    std::size_t wait_until(Clock::time_point deadline, Take&& attempt) {
        for (;;) {
            if (const std::size_t n = attempt()) return n;
            if (woken_.exchange(false, std::memory_order_acq_rel)) return 0;
            // An element whose token was just taken as owed is in the queue
            // already (its signal follows its push): it is not waited past.
            if (settle_owed_tokens())
                if (const std::size_t n = attempt()) return n;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !items_.wait(left)) return attempt();
        }
    }

    moodycamel::ReaderWriterQueue<T, BLOCK_SIZE> queue_;
    std::size_t initial_capacity_;
    std::atomic<std::size_t> count_{0};
    bool deferred_ = false;  // the producer's
    moodycamel::spsc_sema::LightweightSemaphore items_;
    std::atomic<bool> woken_{false};
    std::atomic<std::size_t> owed_tokens_{0};  // dropped by `clear`, taken back by the waiter
    ConsumerMutex consumer_;
};

}  // namespace pelionp::demux
