#pragma once
// The decoding thread's loop shared by the decoder workers: the definition
// of NeuropixelsWorker::start. Included by the workers' .cpp files (and by
// tests that build workers of their own).
//
// A Decoder provides `reset()` (back to the initial state) and
// `decode(uint64_t timestamp, const uint8_t* payload)` (one word's 14 payload
// bytes, read in place from the shared buffer). It may also provide
// `decode_words(std::span<const SIDWord>, const uint8_t* buffer)`, the same
// for a whole word list in one call, which the loop then prefers. The
// decoder lives in the thread's closure: nothing but that thread touches it.
#include <chrono>
#include <exception>
#include <span>

#include <spdlog/spdlog.h>

#include "pelionp/demux/compact_words.h"
#include "pelionp/demux/folded_log.h"
#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/demux/word_list_pool.h"
#include "pelionp/thread_name.h"

namespace pelionp::demux {

/// The longest the decoding thread waits without a word list, a stop or a
/// resync request (each of which wakes it at once).
inline constexpr auto WORKER_WAIT = std::chrono::milliseconds(100);

/// Runs one step of the decoding thread; an exception from the decoder or
/// from a host callback is logged at error with the worker's SID and the
/// thread goes on (an exception must not end the process from here).
/// Repeats are folded in `folded` (one line a second with their count).
template <typename Step>
void guarded_step(const NeuropixelsWorker& worker, const char* what, FoldedLog& folded, Step&& step) noexcept {
    std::string failure;
    try {
        step();
        return;
    } catch (const std::exception& e) {
        failure = fmt::format("Worker SID {}: {} failed: {}", to_underlying(worker.sid), what, e.what());
    } catch (...) {
        failure = fmt::format("Worker SID {}: {} failed with an unknown exception", to_underlying(worker.sid), what);
    }
    try {
        if (auto line = folded.fold(std::move(failure))) spdlog::error("{}", *line);
    } catch (...) {
        // NB: a log that cannot allocate its line loses it; the thread goes on.
    }
}

/// The decoding thread's folded failure logs, one per step kind.
struct WorkerFailureLogs {
    FoldedLog reset, decoding, after_list;

    ~WorkerFailureLogs() {
        try {
            for (FoldedLog* log : {&reset, &decoding, &after_list}) {
                if (auto line = log->flush()) spdlog::error("{}", *line);
            }
        } catch (...) {
            // NB: as in guarded_step.
        }
    }
};

template <class Decoder>
void NeuropixelsWorker::start(Decoder decoder, const char* exit_message) {
    thread_ = std::jthread([this, queue = queue_, decoder = std::move(decoder), exit_message]() mutable {
        name_this_thread(fmt::format("decode-sid{}", to_underlying(sid)));
        run(*queue, decoder);
        if (exit_message != nullptr) spdlog::debug("{}", exit_message);
    });
}

template <class Decoder>
void NeuropixelsWorker::run(SIDQueue& queue, Decoder& decoder) {
    WorkerFailureLogs failures;
    guarded_step(*this, "decoder reset", failures.reset, [&] { decoder.reset(); });
    uint64_t served = 0;
    SIDQueueEntry entry;
    std::vector<SIDWord> expanded;  // a compact list's ticks, expanded a batch at a time
    while (!stop_.load(std::memory_order_acquire)) {
        const bool got = queue.wait_dequeue_timed(entry, WORKER_WAIT);
        if (const uint64_t wanted = resync_requested_.load(std::memory_order_acquire); wanted != served) {
            guarded_step(*this, "decoder reset", failures.reset, [&] { decoder.reset(); });
            do {
                discard(entry);
            } while (queue.try_dequeue(entry));
            complete_resync(wanted);  // catches and logs a throwing reset_output itself
            served = wanted;
            continue;
        }
        if (got) {
            const auto& [words, length, buffer] = entry;
            const uint8_t* bytes = buffer.get();
            // NB: counted before decoding, so that a callback (the output
            // reset of a resync excepted) may compare what the decoder gave it
            // with what it was given, this list included.
            words_decoded_.store(words_decoded_.load(std::memory_order_relaxed) + words_in(words),
                                 std::memory_order_relaxed);
            // NB: an element whose decoding threw is dropped from that word
            // on; the decoder finds its place again from its counters.
            guarded_step(*this, "decoding", failures.decoding, [&] {
                for_each_words(words, bytes, expanded, [&](std::span<const SIDWord> some) {
                    if constexpr (requires { decoder.decode_words(some, bytes); }) {
                        decoder.decode_words(some, bytes);
                    } else {
                        for (const auto& [timestamp, offset] : some) {
                            decoder.decode(timestamp, bytes + offset + STREAM_PAYLOAD_OFFSET);
                        }
                    }
                });
            });
            if (after_list_) {
                guarded_step(*this, "the end of a word list", failures.after_list, [&] { after_list_(); });
            }
            // The list goes back to the runner; the last holder frees the
            // device buffer.
            release_entry(entry);
        }
    }
}

}  // namespace pelionp::demux
