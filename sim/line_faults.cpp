#include "sim/line_faults.h"

#include <algorithm>

#include "sim/stream_encoders.h"

namespace pelionp::sim {

void LineFaults::apply(std::size_t at, std::vector<uint8_t>& out) {
    sent_.fetch_add((out.size() - at) / STREAM_WORD_BYTES, std::memory_order_relaxed);
    if (corrupt_.load(std::memory_order_relaxed) == 0 && drop_.load(std::memory_order_relaxed) == 0) return;
    std::size_t keep = at;  // words kept are moved down over the lost ones
    for (; at + STREAM_WORD_BYTES <= out.size(); at += STREAM_WORD_BYTES) {
        if (take(drop_)) {
            dropped_.fetch_add(1);
            continue;
        }
        if (keep != at) std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(at), STREAM_WORD_BYTES,
                                    out.begin() + static_cast<std::ptrdiff_t>(keep));
        if (take(corrupt_)) {
            out[keep] = static_cast<uint8_t>(out[keep] ^ 0x50);  // preamble nibble no longer 0xD
            out[keep + 5] = static_cast<uint8_t>(out[keep + 5] ^ 0xFF);
            corrupted_.fetch_add(1);
        }
        keep += STREAM_WORD_BYTES;
    }
    out.resize(keep);
}

}  // namespace pelionp::sim
