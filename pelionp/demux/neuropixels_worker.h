#pragma once
// NeuropixelsWorker: the consumer of one subscribed stream and the base of
// the decoder workers (NP1::DemuxWorker, NP2::DemuxWorker,
// io::IOFrameProcessor).
//
// Threading contract:
// - Construction, `resync()` and destruction run on the owner's thread; the
//   derived class runs one decoding thread that drains `queue`, decodes, calls
//   the output callbacks and `reset_output`.
// - `resync_and_wait()` returns once the decoding thread has restarted its
//   decoder from a clean state, discarded every queued element (including the
//   one it held) and run `reset_output()`. Concurrent callers take turns.
// - The destructor stops and joins the decoding thread; calling it from that
//   thread throws std::system_error (resource_deadlock_would_occur).
#include <atomic>
#include <mutex>
#include <thread>

#include "pelio/std23.h"
#include "pelionp/controller/sid.h"
#include "pelionp/demux/sid_queue.h"
#include "pelionp/export.h"

namespace pelionp::demux {

struct PELIONP_API NeuropixelsWorker {
    /// Throws std::invalid_argument "reset_output must not be empty". Starts
    /// no thread.
    NeuropixelsWorker(SID sid, std23::move_only_function<void()> reset_output);
    NeuropixelsWorker(const NeuropixelsWorker&) = delete;
    NeuropixelsWorker& operator=(const NeuropixelsWorker&) = delete;

    /// For a worker without a decoding thread: discards the queued elements
    /// and calls `reset_output()` on the caller's thread. With a thread
    /// running it does nothing; the decoder workers override it with
    /// `resync_and_wait()`.
    virtual void resync();
    virtual ~NeuropixelsWorker();

    /// The caller's end of the resync handshake (blocks until the decoding
    /// thread acknowledges; only meaningful while that thread runs).
    void resync_and_wait();
    /// The decoding thread's end: `reset_output()`, then release the callers.
    void acknowledge_resync();

    SID sid;
    std::shared_ptr<SIDQueue> queue;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> resync_requested{false};
    std::mutex resync_mutex;
    std23::move_only_function<void()> reset_output;
};

}  // namespace pelionp::demux
