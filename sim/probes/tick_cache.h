#pragma once
// What lets a simulated probe stream at more than its real rate: the wire
// bytes of one tick, made once per tick position within the signals' period
// and reused every period after, until the probe's configuration changes.
//
// Every electrode signal of the simulated probes repeats exactly after
// SIGNAL_PERIOD_TICKS ticks (np1_signal.h, np2_probe.h), so the words a
// probe sends at tick t and at tick t + SIGNAL_PERIOD_TICKS differ only in
// their framing (row counters, frame numbers), which the encoders stamp when
// they send cached words. A slot is made the first time its tick is sent
// (the first period streams at the speed of the sample functions) and the
// whole cache is forgotten when the channel map changes.
//
// NB: memory for speed: a whole period of one probe's words is 5.9 MB for an
// NP2 probe (7680 x 48 words) and 7.4 MB for an NP1 probe (7680 x 60 AP
// words); the storage is taken at the first fill.
//
// Threading: none; the cache belongs to one source on the stream thread.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelionp::sim {

/// Ticks after which every simulated electrode signal repeats: 256 ms at
/// 30 kHz, a multiple of 16 (NP2 rows), 12 (NP1 superframe) and 256 (the
/// 8-bit counters), so that slow waves of a few hertz still fit.
inline constexpr uint64_t SIGNAL_PERIOD_TICKS = 7680;

class TickCache {
public:
    explicit TickCache(std::size_t bytes_per_tick) : bytes_per_tick_(bytes_per_tick) {}

    /// The cached bytes of tick position `slot` (0 <= slot < SIGNAL_PERIOD_TICKS),
    /// or an empty span when that slot was not made for the current configuration.
    [[nodiscard]] std::span<const uint8_t> find(uint64_t slot) const {
        if (made_.empty() || made_[slot] != generation_) return {};
        return {bytes_.data() + slot * bytes_per_tick_, bytes_per_tick_};
    }

    /// Storage for slot `slot`, which counts as made once the caller has
    /// written it (before the next find).
    [[nodiscard]] std::span<uint8_t> fill(uint64_t slot) {
        if (made_.empty()) {
            made_.assign(SIGNAL_PERIOD_TICKS, 0);
            bytes_.resize(SIGNAL_PERIOD_TICKS * bytes_per_tick_);
        }
        made_[slot] = generation_;
        return {bytes_.data() + slot * bytes_per_tick_, bytes_per_tick_};
    }

    /// Forgets every slot (the configuration changed).
    void invalidate() {
        if (++generation_ == 0) {  // wrapped: old stamps could match again
            made_.assign(made_.size(), 0);
            generation_ = 1;
        }
    }

    [[nodiscard]] std::size_t bytes_per_tick() const { return bytes_per_tick_; }

private:
    std::size_t bytes_per_tick_;
    uint32_t generation_ = 1;
    std::vector<uint32_t> made_;
    std::vector<uint8_t> bytes_;
};

}  // namespace pelionp::sim
