#pragma once
// Gain correction shared by the probes' data callbacks.
#include <algorithm>
#include <cstring>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    static_assert(Sign == 1 || Sign == -1);
#if defined(__SSE2__)
    static_assert(N % 8 == 0);
    // The same steps as to_sample_i16, eight samples at a time: NaN -> 0,
    // clamp above at 32767, truncate. NB: no clamp below: cvttps2dq turns
    // anything under -2^31 into INT32_MIN and packs_epi32 saturates every
    // value under -32768 to -32768, which is the clamp.
    const __m128i zero = _mm_setzero_si128();
    const __m128i offset = _mm_set1_epi32(Offset);
    const __m128 top = _mm_set1_ps(32767.0f);
    const auto scale = [&](__m128i code32, const float* g) {
        const __m128i centred = Sign > 0 ? _mm_sub_epi32(code32, offset) : _mm_sub_epi32(offset, code32);
        __m128 v = _mm_mul_ps(_mm_cvtepi32_ps(centred), _mm_loadu_ps(g));
        v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
        return _mm_cvttps_epi32(_mm_min_ps(v, top));
    };
    for (int c = 0; c < N; c += 8) {
        const __m128i code = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + c));
        const __m128i low = scale(_mm_unpacklo_epi16(code, zero), gain + c);
        const __m128i high = scale(_mm_unpackhi_epi16(code, zero), gain + c + 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), _mm_packs_epi32(low, high));
    }
#else
    // NB: computed into a local first: int16_t and uint16_t may alias, and a
    // possible overlap would keep the compiler from vectorising.
    alignas(32) int16_t result[N];
    for (int c = 0; c < N; ++c) {
        result[c] = to_sample_i16(static_cast<float>(Sign * (int{codes[c]} - Offset)) * gain[c]);
    }
    std::memcpy(out, result, sizeof result);
#endif
}

}  // namespace pelionp
