#pragma once
// The decoding thread's loop shared by the decoder workers. Internal to the
// library: the workers' .cpp files instantiate it.
//
// A Decoder provides `reset()` (back to the initial state) and
// `decode(uint64_t timestamp, const uint8_t* payload)` (one word's 14 payload
// bytes, read in place from the shared buffer). It may also provide
// `decode_words(std::span<const SIDWord>, const uint8_t* buffer)`, the same
// for a whole word list in one call, which the loop then prefers.
#include <chrono>
#include <exception>
#include <span>

#include <spdlog/spdlog.h>

#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/demux/word_list_pool.h"

namespace pelionp::demux {

inline constexpr auto WORKER_POLL = std::chrono::milliseconds(1);

/// Runs one step of the decoding thread; an exception from the decoder or
/// from a host callback is logged at error with the worker's SID and the
/// thread goes on (an exception must not end the process from here).
template <typename Step>
void guarded_step(const NeuropixelsWorker& worker, const char* what, Step&& step) noexcept {
    try {
        step();
    } catch (const std::exception& e) {
        spdlog::error("Worker SID {}: {} failed: {}", to_underlying(worker.sid), what, e.what());
    } catch (...) {
        spdlog::error("Worker SID {}: {} failed with an unknown exception", to_underlying(worker.sid), what);
    }
}

template <class Decoder>
void run_worker_loop(NeuropixelsWorker& worker, std::shared_ptr<SIDQueue> queue, Decoder& decoder) {
    decoder.reset();
    SIDQueueEntry entry;
    while (!worker.stop.load(std::memory_order_relaxed)) {
        // moodycamel's semaphore spins briefly before it sleeps.
        const bool got = queue->wait_dequeue_timed(entry, WORKER_POLL);
        if (worker.resync_requested.load()) {
            guarded_step(worker, "decoder reset", [&] { decoder.reset(); });
            do {
                release_entry(entry);
            } while (queue->try_dequeue(entry));
            worker.acknowledge_resync();  // catches and logs a throwing reset_output itself
            continue;
        }
        if (got) {
            const auto& [words, length, buffer] = entry;
            const uint8_t* bytes = buffer.get();
            // NB: an element whose decoding threw is dropped from that word
            // on; the decoder finds its place again from its counters.
            guarded_step(worker, "decoding", [&] {
                if constexpr (requires { decoder.decode_words(std::span<const SIDWord>(words), bytes); }) {
                    decoder.decode_words(std::span<const SIDWord>(words), bytes);
                } else {
                    for (const auto& [timestamp, offset] : words) {
                        decoder.decode(timestamp, bytes + offset + STREAM_PAYLOAD_OFFSET);
                    }
                }
            });
            // The list goes back to the runner; the last holder frees the
            // device buffer.
            release_entry(entry);
        }
    }
}

}  // namespace pelionp::demux
