#include "pelionp/demux/neuropixels_worker.h"

#include <condition_variable>
#include <stdexcept>
#include <system_error>

#include <spdlog/spdlog.h>

#include "pelionp/demux/compact_words.h"
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

NeuropixelsWorker::NeuropixelsWorker(SID sid_, std23::move_only_function<void()> reset_output,
                                     std23::move_only_function<void()> after_list)
    : sid(sid_), queue_(make_sid_queue(WordForm::compact)), reset_output_(std::move(reset_output)), after_list_(std::move(after_list)) {
    if (!reset_output_) {
        throw std::invalid_argument("reset_output must not be empty");
    }
}

NeuropixelsWorker::~NeuropixelsWorker() { stop_and_join(); }

void NeuropixelsWorker::stop_and_join() noexcept {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_release);
    queue_->wake();
    // NB: joining from the worker's own thread (a callback destroying its
    // worker) throws resource_deadlock_would_occur out of a noexcept
    // function, i.e. terminates: loud rather than a silent hang.
    thread_.join();
}

bool NeuropixelsWorker::on_worker_thread() const noexcept { return thread_.get_id() == std::this_thread::get_id(); }

void NeuropixelsWorker::discard(SIDQueueEntry& entry) noexcept {
    const uint64_t words = words_in(std::get<0>(entry));
    words_discarded_.store(words_discarded_.load(std::memory_order_relaxed) + words, std::memory_order_relaxed);
    release_entry(entry);
}

void NeuropixelsWorker::resync_here() {
    SIDQueueEntry discarded;
    while (queue_->try_dequeue(discarded)) {
        discard(discarded);
    }
    complete_resync(resync_requested_.fetch_add(1, std::memory_order_acq_rel) + 1);
}

void NeuropixelsWorker::request_resync() {
    if (!thread_.joinable()) {
        resync_here();
        return;
    }
    resync_requested_.fetch_add(1, std::memory_order_acq_rel);
    queue_->wake();
}

void NeuropixelsWorker::wait_for_resync() {
    if (!thread_.joinable()) {
        std::lock_guard lock(resync_mutex_);
        resync_here();
        return;
    }
    if (on_worker_thread()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "wait_for_resync called from the worker's own decoding thread");
    }
    std::lock_guard lock(resync_mutex_);
    const uint64_t request = resync_requested_.fetch_add(1, std::memory_order_acq_rel) + 1;
    queue_->wake();
    std::unique_lock handshake(handshake_mutex);
    handshake_done.wait(handshake,
                        [&] { return resync_completed_.load(std::memory_order_acquire) >= request; });
}

void NeuropixelsWorker::complete_resync(uint64_t request) noexcept {
    // The waiting caller is released whatever the host's reset does.
    try {
        reset_output_();
    } catch (const std::exception& e) {
        spdlog::error("Worker SID {}: reset_output failed: {}", to_underlying(sid), e.what());
    } catch (...) {
        spdlog::error("Worker SID {}: reset_output failed with an unknown exception", to_underlying(sid));
    }
    {
        std::lock_guard handshake(handshake_mutex);
        resync_completed_.store(request, std::memory_order_release);
    }
    handshake_done.notify_all();
}

}  // namespace pelionp::demux
