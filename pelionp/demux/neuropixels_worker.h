#pragma once
// NeuropixelsWorker: the consumer of one subscribed stream and the base of
// the decoder workers (NP1::DemuxWorker, NP2::DemuxWorker,
// io::IOFrameProcessor).
//
// Ownership: the worker owns its SID queue (shared with the coordinator
// while subscribed), its decoding thread and the decoder that thread runs;
// the derived class hands the decoder over with `start` and calls
// `stop_and_join` first thing in its destructor, so the thread (and the
// decoder's callbacks into the derived class or its owner) is gone before
// anything they use dies.
//
// Threading contract:
// - Construction, the resync calls and destruction run on the owner's
//   threads; the decoding thread drains the queue, decodes, calls the output
//   callbacks and `reset_output`.
// - The decoding thread blocks on its queue until a word list arrives, a
//   stop or resync request wakes it, or a long deadline passes; it never
//   sleeps to poll.
// - `request_resync()` asks for a resync and returns at once; the decoding
//   thread then restarts its decoder from a clean state, discards every
//   queued element (including the one in hand) and runs `reset_output()`.
//   `wait_for_resync()` does the same and returns once that has happened;
//   concurrent callers each get a handshake of their own. From the decoding
//   thread itself (a callback) it throws std::system_error
//   (resource_deadlock_would_occur): the thread cannot wait for itself.
// - A worker without a thread (the base alone) resyncs on the caller's
//   thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "pelio/std23.h"
#include "pelionp/demux/sid.h"
#include "pelionp/demux/sid_queue.h"
#include "pelionp/export.h"

namespace pelionp::demux {

class PELIONP_API NeuropixelsWorker {
public:
    /// Throws std::invalid_argument "reset_output must not be empty". Starts
    /// no thread. `after_list`, if given, runs on the decoding thread after
    /// each word list was decoded (one device buffer's words of this SID):
    /// the place to wake a host once for everything the list produced.
    NeuropixelsWorker(SID sid, std23::move_only_function<void()> reset_output,
                      std23::move_only_function<void()> after_list = {});
    NeuropixelsWorker(const NeuropixelsWorker&) = delete;
    NeuropixelsWorker& operator=(const NeuropixelsWorker&) = delete;
    virtual ~NeuropixelsWorker();

    /// The stream this worker consumes.
    const SID sid;
    /// The queue the controller subscribes for `sid`.
    [[nodiscard]] const std::shared_ptr<SIDQueue>& queue() const noexcept { return queue_; }

    /// Non-blocking: the decoding thread discards what is queued and resets
    /// at its next wake-up (at once, on this thread, without one).
    void request_resync();
    /// Blocking: returns once the decoder restarted, everything queued before
    /// the call is gone and `reset_output()` ran.
    virtual void wait_for_resync();

    /// Whether the caller runs on this worker's decoding thread.
    [[nodiscard]] bool on_worker_thread() const noexcept;
    /// Resyncs completed so far (by either call).
    [[nodiscard]] uint64_t resyncs() const noexcept { return resync_completed_.load(std::memory_order_acquire); }
    /// Words handed to the decoder so far, counted as each list begins (any
    /// thread reads it; the decoding thread's callbacks see their own list in it).
    [[nodiscard]] uint64_t words_decoded() const noexcept { return words_decoded_.load(std::memory_order_relaxed); }
    /// Words a resync discarded from the queue before they were decoded.
    [[nodiscard]] uint64_t words_discarded() const noexcept {
        return words_discarded_.load(std::memory_order_relaxed);
    }

protected:
    /// Starts the decoding thread on `decoder` (see worker_loop.h for what a
    /// decoder provides); `exit_message`, if any, is logged at debug level
    /// when the thread ends. Throws std::system_error if the thread cannot
    /// be started.
    template <class Decoder>
    void start(Decoder decoder, const char* exit_message = nullptr);
    /// Stops and joins the decoding thread, if any. Derived destructors call
    /// it before their members go; calling it again does nothing.
    void stop_and_join() noexcept;

private:
    template <class Decoder>
    void run(SIDQueue& queue, Decoder& decoder);
    // The decoding thread's end of a handshake: `reset_output()`, then
    // release the callers waiting for request `request`.
    void complete_resync(uint64_t request) noexcept;
    void resync_here();
    // The decoding thread's (or a threadless resync's) release of an entry it
    // will not decode.
    void discard(SIDQueueEntry& entry) noexcept;

    std::shared_ptr<SIDQueue> queue_;
    std23::move_only_function<void()> reset_output_;
    std23::move_only_function<void()> after_list_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> resync_requested_{0};  // requests made
    std::atomic<uint64_t> resync_completed_{0};  // requests served, waited on
    std::atomic<uint64_t> words_decoded_{0};     // written by the decoding thread (or a resync) only
    std::atomic<uint64_t> words_discarded_{0};
    std::mutex resync_mutex_;                    // one waiting caller at a time
    std::jthread thread_;                        // last: joined before the rest goes
};

}  // namespace pelionp::demux
