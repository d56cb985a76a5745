#pragma once
// Faults on the line between a headstage and the board: whole stream words
// that arrive corrupted (preamble and payload bits flipped, so the board's
// word check refuses them) or never arrive at all. Wraps any stream source,
// so every probe kind meets the same faults.
//
// Threading: corrupt_words()/drop_words() from any thread; the wrapped
// source's ticks run on the stream thread, as for any source. Armed faults
// apply from the next word the source produces, consecutively.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/stream_source.h"

namespace pelionp::sim {

class LineFaults final : public StreamSource {
public:
    explicit LineFaults(std::shared_ptr<StreamSource> inner) : inner_(std::move(inner)) {}

    void append_tick(uint8_t sid, std::vector<uint8_t>& out) override {
        const std::size_t start = out.size();
        inner_->append_tick(sid, out);
        apply(start, out);
    }
    void append_tick_at(uint8_t sid, uint64_t timestamp, std::vector<uint8_t>& out) override {
        const std::size_t start = out.size();
        inner_->append_tick_at(sid, timestamp, out);
        apply(start, out);
    }

    /// The next `n` words arrive with their preamble nibble and a payload
    /// byte flipped.
    void corrupt_words(int n) { corrupt_.fetch_add(n); }
    /// The next `n` words are lost.
    void drop_words(int n) { drop_.fetch_add(n); }

    /// What the faults did so far.
    [[nodiscard]] uint64_t words_corrupted() const { return corrupted_.load(); }
    [[nodiscard]] uint64_t words_dropped() const { return dropped_.load(); }
    /// Words the wrapped source sent, lost ones included: the stream's
    /// device time in words.
    [[nodiscard]] uint64_t words_sent() const { return sent_.load(); }

private:
    static bool take(std::atomic<int>& armed) {
        for (int n = armed.load(); n > 0;)
            if (armed.compare_exchange_weak(n, n - 1)) return true;
        return false;
    }

    void apply(std::size_t at, std::vector<uint8_t>& out);

    std::shared_ptr<StreamSource> inner_;
    std::atomic<int> corrupt_{0};
    std::atomic<int> drop_{0};
    std::atomic<uint64_t> corrupted_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> sent_{0};
};

}  // namespace pelionp::sim
