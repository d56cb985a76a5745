#pragma once
// The per-stream queue between the demux runner and one decoder worker.
//
// Contract: single producer (the coordinator's runner thread), single
// consumer (the worker's decoding thread), which blocks on it with a deadline
// and is woken by its worker for a stop or a resync. An entry never copies
// sample data: it names the words of one SID inside a device buffer that all
// subscribers share, and the buffer is freed with its own release function
// when the last entry referring to it is dropped.
#include <atomic>
#include <cstdint>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "pelionp/demux/wakeable_queue.h"

namespace pelionp::demux {

/// Bytes of one raw stream word: byte 0 = 0xD preamble (high nibble) and SID
/// (low nibble), byte 1 = per-SID row counter, bytes 2..15 = payload.
inline constexpr std::size_t STREAM_WORD_BYTES = 16;
inline constexpr std::size_t STREAM_PAYLOAD_OFFSET = 2;
inline constexpr std::size_t STREAM_PAYLOAD_BYTES = 14;
inline constexpr uint8_t STREAM_WORD_PREAMBLE = 0xD;

/// One word of a SID: {timestamp of the last SID-4 word before it, byte
/// offset of the word in the buffer (a multiple of 16)}.
using SIDWord = std::pair<uint64_t, int>;

/// {words of the SID in stream order, length of the whole buffer in bytes,
/// the shared buffer}.
using SIDQueueEntry = std::tuple<std::vector<SIDWord>, uint64_t, std::shared_ptr<uint8_t[]>>;

inline constexpr std::size_t SID_QUEUE_BLOCK_SIZE = 512;
inline constexpr std::size_t SID_QUEUE_INITIAL_CAPACITY = 15;

/// Words of one SID lost before they reached its queue, counted by the
/// demultiplexer while the queue is subscribed (any thread may read them).
struct SIDLosses {
    /// Gaps in the SID's row counter: words lost on the wire, or in a device
    /// buffer refused whole. NB: the counter has 8 bits, so a gap of 256 words
    /// or more is counted modulo 256.
    std::atomic<uint64_t> wire_words{0};
    /// Words dropped because their list or queue entry could not be allocated.
    std::atomic<uint64_t> memory_words{0};
    /// Words not handed on because the data path was over its byte budget.
    std::atomic<uint64_t> budget_words{0};
};

/// How a subscriber takes its words: one {timestamp, offset} entry per word,
/// or the compact form of the library's own decoder workers
/// (compact_words.h), which names whole ticks at once.
enum class WordForm : uint8_t { per_word, compact };

/// Blocking SPSC queue that its consumer's owner can wake; grows without
/// limit. Carries the losses the demultiplexer saw for its subscriber.
class SIDQueue : public WakeableQueue<SIDQueueEntry, SID_QUEUE_BLOCK_SIZE> {
public:
    explicit SIDQueue(std::size_t initial_capacity = SID_QUEUE_INITIAL_CAPACITY,
                      WordForm form_ = WordForm::per_word)
        : WakeableQueue(initial_capacity), form(form_) {}
    /// The form of the word lists the demultiplexer puts in this queue.
    const WordForm form;
    SIDLosses losses;
};

/// A device buffer as the device stream hands it over: {length in bytes,
/// the bytes with the function that frees them}.
using DataBuffer = std::pair<uint64_t, std::unique_ptr<uint8_t[], void (*)(uint8_t*)>>;

inline std::shared_ptr<SIDQueue> make_sid_queue(WordForm form = WordForm::per_word) {
    return std::make_shared<SIDQueue>(SID_QUEUE_INITIAL_CAPACITY, form);
}

}  // namespace pelionp::demux
