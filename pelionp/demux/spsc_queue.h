#pragma once
// Include moodycamel's single-producer single-consumer queues through this
// header (never <readerwriterqueue/readerwriterqueue.h> directly).
//
// The queues publish elements with memory fences, which ThreadSanitizer
// cannot follow; the library marks the fences with happens-before
// annotations (AE_TSAN_ANNOTATE_*), but its macros take no argument, so on
// their own every queue of the process would synchronise on one object and
// any two threads touching any two queues would look ordered. Under
// ThreadSanitizer (GCC announces it with __SANITIZE_THREAD__) the queues are
// therefore renamed on inclusion and the public names become thin wrappers
// that record, for the calling thread, which queue it is inside; the fence
// annotations then synchronise on that queue's own address, and fences
// outside those operations on nothing. Release builds see moodycamel's
// classes unchanged.
//
// NB: the queue's address, not a per-slot one: an element handed over
// through a queue is ordered after everything its producer did before
// enqueueing it, which is what the queue guarantees, and no more.
// NB: the current-queue pointer is per thread and per shared object; both
// ends of a fence are in the same inline call, so they agree, while the
// address they name is the same in every module.
#if defined(__SANITIZE_THREAD__)

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

extern "C" void AnnotateHappensBefore(const char*, int, const volatile void*);
extern "C" void AnnotateHappensAfter(const char*, int, const volatile void*);

namespace pelionp::demux::tsan {

/// The queue whose operation the calling thread is inside, or null.
inline thread_local const void* current_queue = nullptr;

/// A fence outside a wrapped queue operation (the constructors, the
/// destructor, `size_approx`, `max_capacity`) annotates nothing: on one shared
/// object it would order every thread that makes, frees or measures any queue
/// after every other, hiding their races. Whoever hands a queue to another
/// thread, or frees it, orders that by other means (a thread start, a join, a
/// lock), which ThreadSanitizer sees.
inline void happens_before(const char* file, int line) noexcept {
    if (current_queue != nullptr) AnnotateHappensBefore(file, line, current_queue);
}
inline void happens_after(const char* file, int line) noexcept {
    if (current_queue != nullptr) AnnotateHappensAfter(file, line, current_queue);
}

/// Marks the calling thread as inside `queue`'s operation.
class Scope {
public:
    explicit Scope(const void* queue) noexcept : previous_(current_queue) { current_queue = queue; }
    ~Scope() { current_queue = previous_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    const void* previous_;
};

}  // namespace pelionp::demux::tsan

#define AE_TSAN_ANNOTATE_RELEASE() ::pelionp::demux::tsan::happens_before(__FILE__, __LINE__)
#define AE_TSAN_ANNOTATE_ACQUIRE() ::pelionp::demux::tsan::happens_after(__FILE__, __LINE__)

#define ReaderWriterQueue AnnotatedReaderWriterQueueBase
#define BlockingReaderWriterQueue AnnotatedBlockingReaderWriterQueueBase
#include <readerwriterqueue/readerwriterqueue.h>
#undef ReaderWriterQueue
#undef BlockingReaderWriterQueue

namespace moodycamel {

// Every operation that moves an element runs inside a Scope of this queue.
#define PELIONP_ANNOTATED_QUEUE_OPERATIONS(Base)                                                              \
public:                                                                                                       \
    using Base::Base;                                                                                         \
    bool try_enqueue(const T& element) { ::pelionp::demux::tsan::Scope s(this); return Base::try_enqueue(element); } \
    bool try_enqueue(T&& element) { ::pelionp::demux::tsan::Scope s(this); return Base::try_enqueue(std::move(element)); } \
    bool enqueue(const T& element) { ::pelionp::demux::tsan::Scope s(this); return Base::enqueue(element); } \
    bool enqueue(T&& element) { ::pelionp::demux::tsan::Scope s(this); return Base::enqueue(std::move(element)); } \
    template <typename... Args>                                                                               \
    bool try_emplace(Args&&... args) {                                                                        \
        ::pelionp::demux::tsan::Scope s(this);                                                                \
        return Base::try_emplace(std::forward<Args>(args)...);                                                \
    }                                                                                                         \
    template <typename... Args>                                                                               \
    bool emplace(Args&&... args) {                                                                            \
        ::pelionp::demux::tsan::Scope s(this);                                                                \
        return Base::emplace(std::forward<Args>(args)...);                                                    \
    }                                                                                                         \
    template <typename U>                                                                                     \
    bool try_dequeue(U& result) {                                                                             \
        ::pelionp::demux::tsan::Scope s(this);                                                                \
        return Base::try_dequeue(result);                                                                     \
    }                                                                                                         \
    T* peek() const { ::pelionp::demux::tsan::Scope s(this); return Base::peek(); }                        \
    bool pop() { ::pelionp::demux::tsan::Scope s(this); return Base::pop(); }

template <typename T, size_t MAX_BLOCK_SIZE = 512>
class ReaderWriterQueue : public AnnotatedReaderWriterQueueBase<T, MAX_BLOCK_SIZE> {
    using Base = AnnotatedReaderWriterQueueBase<T, MAX_BLOCK_SIZE>;
    PELIONP_ANNOTATED_QUEUE_OPERATIONS(Base)
};

template <typename T, size_t MAX_BLOCK_SIZE = 512>
class BlockingReaderWriterQueue : public AnnotatedBlockingReaderWriterQueueBase<T, MAX_BLOCK_SIZE> {
    using Base = AnnotatedBlockingReaderWriterQueueBase<T, MAX_BLOCK_SIZE>;
    PELIONP_ANNOTATED_QUEUE_OPERATIONS(Base)

    template <typename U>
    void wait_dequeue(U& result) {
        ::pelionp::demux::tsan::Scope s(this);
        Base::wait_dequeue(result);
    }
    template <typename U>
    bool wait_dequeue_timed(U& result, std::int64_t timeout_usecs) {
        ::pelionp::demux::tsan::Scope s(this);
        return Base::wait_dequeue_timed(result, timeout_usecs);
    }
    template <typename U, typename Rep, typename Period>
    bool wait_dequeue_timed(U& result, std::chrono::duration<Rep, Period> const& timeout) {
        ::pelionp::demux::tsan::Scope s(this);
        return Base::wait_dequeue_timed(result, timeout);
    }
};

#undef PELIONP_ANNOTATED_QUEUE_OPERATIONS

}  // namespace moodycamel

#else
#include <readerwriterqueue/readerwriterqueue.h>
#endif
