#pragma once
// Gain correction shared by the probes' data callbacks.
#include <cmath>
#include <cstdint>

namespace pelionp {

/// A corrected sample as the host receives it: truncated toward zero to 16
/// bits. NB: saturates instead of wrapping (a large calibration factor or a
/// corrupt one must not turn a peak into its opposite); NaN gives 0.
inline int16_t to_sample_i16(float value) noexcept {
    if (!(value == value)) {
        return 0;
    }
    if (value >= 32767.0f) {
        return 32767;
    }
    if (value <= -32768.0f) {
        return -32768;
    }
    return static_cast<int16_t>(value);
}

}  // namespace pelionp
