#include "pelionp/demux/neuropixels_worker.h"

#include <condition_variable>
#include <stdexcept>
#include <system_error>

#include <spdlog/spdlog.h>

#include "pelionp/demux/word_list_pool.h"

namespace pelionp::demux {
namespace {

// The resync handshake's wake-up. NB: not std::atomic::wait: where the
// standard library has no futex (MinGW-w64's GCC 12) its wait checks the
// value and then blocks on a condition variable without holding the lock
// the notifier takes, so a notification in between is lost and the caller
// hangs. One condition variable for every worker: resyncs are rare (stream
// start and stop), and each waiter checks its own flag.
std::mutex handshake_mutex;
std::condition_variable handshake_done;

}  // namespace

NeuropixelsWorker::NeuropixelsWorker(SID sid_, std23::move_only_function<void()> reset_output_)
    : sid(sid_), queue(make_sid_queue()), reset_output(std::move(reset_output_)) {
    if (!reset_output) {
        throw std::invalid_argument("reset_output must not be empty");
    }
}

NeuropixelsWorker::~NeuropixelsWorker() {
    stop.store(true);
    // NB: joining from the worker's own thread (a callback destroying its
    // worker) throws resource_deadlock_would_occur out of a noexcept
    // destructor, i.e. terminates: loud rather than a silent hang.
    if (thread.joinable()) {
        thread.join();
    }
}

void NeuropixelsWorker::resync() {
    if (thread.joinable()) {
        return;
    }
    SIDQueueEntry discarded;
    while (queue->try_dequeue(discarded)) {
        release_entry(discarded);
    }
    reset_output();
}

void NeuropixelsWorker::resync_and_wait() {
    std::lock_guard lock(resync_mutex);
    std::unique_lock handshake(handshake_mutex);
    resync_requested.store(true);
    handshake_done.wait(handshake, [this] { return !resync_requested.load(); });
}

void NeuropixelsWorker::acknowledge_resync() {
    // The waiting caller is released whatever the host's reset does.
    try {
        reset_output();
    } catch (const std::exception& e) {
        spdlog::error("Worker SID {}: reset_output failed: {}", to_underlying(sid), e.what());
    } catch (...) {
        spdlog::error("Worker SID {}: reset_output failed with an unknown exception", to_underlying(sid));
    }
    {
        std::lock_guard handshake(handshake_mutex);
        resync_requested.store(false);
    }
    handshake_done.notify_all();
}

}  // namespace pelionp::demux
