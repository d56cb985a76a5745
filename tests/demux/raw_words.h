#pragma once
// Hand-built raw stream words for the coordinator's tests: every byte is
// spelled out, so a test states exactly what the device sent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "pelionp/demux/sid_queue.h"

namespace pelionp::test {

struct RawWord {
    uint8_t first;    // preamble nibble and SID
    uint8_t counter;  // row counter
    uint64_t payload = 0;  // little-endian into bytes 2..9
};

inline RawWord word(unsigned sid, uint8_t counter, uint64_t payload = 0) {
    return {static_cast<uint8_t>(0xD0 | sid), counter, payload};
}

inline std::vector<uint8_t> bytes_of(std::initializer_list<RawWord> words) {
    std::vector<uint8_t> out;
    for (const auto& w : words) {
        uint8_t b[16] = {w.first, w.counter};
        for (int i = 0; i < 8; ++i) b[2 + i] = static_cast<uint8_t>(w.payload >> (8 * i));
        out.insert(out.end(), b, b + 16);
    }
    return out;
}

/// A device buffer over a malloc'd copy, freed with free() like a stream
/// callback's DataView copy.
inline demux::DataBuffer device_buffer(const std::vector<uint8_t>& bytes) {
    auto* p = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    void (*release)(uint8_t*) = [](uint8_t* q) { std::free(q); };
    return {bytes.size(), std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(p, release)};
}

inline demux::DataBuffer device_buffer(std::initializer_list<RawWord> words) { return device_buffer(bytes_of(words)); }

}  // namespace pelionp::test
