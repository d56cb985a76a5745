#include "sim/probes/np1_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim/probes/tick_cache.h"

namespace pelionp::sim {
namespace {

uint64_t mix(uint64_t serial, int electrode) {
    // splitmix64 finaliser: neighbouring electrodes get unrelated seeds.
    uint64_t z = serial * 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(electrode) + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint16_t to_code(double v) { return static_cast<uint16_t>(std::clamp(std::lround(512.0 + v), 0L, 1023L)); }

}  // namespace

uint16_t np1_ap_code(uint64_t serial, int electrode, uint64_t tick) {
    const uint64_t seed = mix(serial, electrode);
    // Exactly periodic (tick_cache.h): a whole number of cycles per period,
    // 77..256 of them, i.e. 301 to 1000 Hz.
    const uint64_t k = tick % SIGNAL_PERIOD_TICKS;
    const double cycles = 77.0 + static_cast<double>(seed % 180);
    const double phase = static_cast<double>((seed >> 12) % 628) / 100.0;
    const double t = static_cast<double>(k) / static_cast<double>(SIGNAL_PERIOD_TICKS);
    double v = 40.0 * std::sin(2.0 * std::numbers::pi * cycles * t + phase);
    // Sparse spikes of 1 ms: each 1 ms window of the period holds one with a
    // chance of 1 in 64 (about 16 a second, at irregular times).
    constexpr uint64_t WINDOW = 30;
    const uint64_t window = (k + (seed >> 40) % WINDOW) % SIGNAL_PERIOD_TICKS / WINDOW;
    const uint64_t at = (k + (seed >> 40) % WINDOW) % WINDOW;
    if (mix(seed, static_cast<int>(window)) % 64 == 0)
        v -= 200.0 * std::sin(std::numbers::pi * static_cast<double>(at) / static_cast<double>(WINDOW));
    return to_code(v);
}

uint16_t np1_lfp_code(uint64_t serial, int electrode, uint64_t index) {
    const uint64_t seed = mix(serial, electrode);
    const double hz = 2.0 + static_cast<double>(seed % 10);
    const double phase = static_cast<double>((seed >> 16) % 628) / 100.0;
    const double t = static_cast<double>(index % 2500) / 2500.0;
    return to_code(150.0 * std::sin(2.0 * std::numbers::pi * hz * t + phase));
}

}  // namespace pelionp::sim
