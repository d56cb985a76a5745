#pragma once
// TickTable: the sequence of SIDs of one tick (a timestamp word and every
// word up to the next), learnt by the demultiplexer's runner from the stream
// and checked against each following tick, header by header, so that a tick
// that repeats the sequence with every row counter as expected is handed on
// whole (see compact_words.h).
//
// Threading contract: the runner's alone.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pelionp/demux/sid.h"
#include "pelionp/export.h"

namespace pelionp::demux {

/// The longest tick a table holds (a full board sends 385 words a tick).
inline constexpr std::size_t MAX_TICK_WORDS = 2048;

/// Whether the `n` words at `tick` carry the headers `expected` (byte 0 |
/// byte 1 << 8 of each word); adds `step` to `expected` as it goes, so after
/// a match it holds the next tick's headers (after a miss, rebuild it). SSE2
/// compares where the target has SSE2, the scalar path elsewhere.
PELIONP_API bool match_tick(const uint8_t* tick, uint16_t* expected, const uint16_t* step, std::size_t n) noexcept;
/// The portable path of match_tick.
PELIONP_API bool match_tick_scalar(const uint8_t* tick, uint16_t* expected, const uint16_t* step,
                                   std::size_t n) noexcept;

class PELIONP_API TickTable {
public:
    TickTable();

    [[nodiscard]] bool ready() const noexcept { return words_ != 0; }
    [[nodiscard]] std::size_t words() const noexcept { return words_; }
    [[nodiscard]] uint32_t bytes() const noexcept { return static_cast<uint32_t>(words_ * 16); }
    /// Changes whenever the sequence does: lists name the table they use once.
    [[nodiscard]] uint32_t version() const noexcept { return version_; }
    /// Words of `sid` in a tick.
    [[nodiscard]] uint32_t count(unsigned sid) const noexcept { return begin_[sid + 1] - begin_[sid]; }
    /// Byte offsets of the words of `sid` within a tick, in stream order.
    [[nodiscard]] std::span<const int32_t> positions(unsigned sid) const noexcept {
        return {positions_.data() + begin_[sid], count(sid)};
    }

    /// Takes the sequence of the `n` words at `tick` (whose first word is a
    /// timestamp word); a tick of no words or over MAX_TICK_WORDS clears the
    /// table. Returns whether the sequence changed.
    bool learn(const uint8_t* tick, std::size_t n);
    /// Sets the headers the next tick must carry, given each SID's next
    /// row counter (low 8 bits of `counters[sid]`).
    void expect(const std::array<uint64_t, SID_COUNT>& counters) noexcept;
    /// Whether the tick at `tick` (at least bytes() long) matches; see match_tick.
    [[nodiscard]] bool match(const uint8_t* tick) noexcept {
        return match_tick(tick, expected_.data(), step_.data(), words_);
    }

private:
    std::size_t words_ = 0;
    uint32_t version_ = 0;
    std::vector<uint8_t> firsts_;     // byte 0 of each word (preamble and SID)
    std::vector<uint16_t> expected_;  // the next tick's headers
    std::vector<uint16_t> step_;      // per word: its SID's words per tick, in the counter byte
    std::vector<int32_t> positions_;  // byte offsets in the tick, grouped by SID
    std::array<uint32_t, SID_COUNT + 1> begin_{};
};

}  // namespace pelionp::demux
