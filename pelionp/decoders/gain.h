#pragma once
// Gain correction shared by the probes' data callbacks.
#include <algorithm>
#include <cstring>
#include <cstdint>

namespace pelionp {

/// A corrected sample as the host receives it: truncated toward zero to 16
/// bits. NB: saturates instead of wrapping (a large calibration factor or a
/// corrupt one must not turn a peak into its opposite); NaN gives 0.
inline int16_t to_sample_i16(float value) noexcept {
    // Branch-free (max/min/select), so the per-channel loops vectorise.
    value = value == value ? value : 0.0f;
    value = std::max(-32768.0f, value);
    value = std::min(32767.0f, value);
    return static_cast<int16_t>(static_cast<int32_t>(value));
}

/// out[c] = sign x (codes[c] - offset) x gain[c], saturated, for N channels:
/// NP1 uses sign -1 and offset 512, NP2 sign +1 and offset 2048.
template <int N, int Offset, int Sign>
inline void correct_codes(const uint16_t* codes, const float* gain, int16_t* out) noexcept {
    // NB: computed into a local first: int16_t and uint16_t may alias, and a
    // possible overlap would keep the compiler from vectorising.
    alignas(32) int16_t result[N];
    for (int c = 0; c < N; ++c) {
        result[c] = to_sample_i16(static_cast<float>(Sign * (int{codes[c]} - Offset)) * gain[c]);
    }
    std::memcpy(out, result, sizeof result);
}

}  // namespace pelionp
