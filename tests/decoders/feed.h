#pragma once
// Hands encoded stream words to a decoder the way a worker does: the 14
// payload bytes after each word's header, with a timestamp.
#include <cstdint>
#include <functional>
#include <vector>

namespace pelionp::test {

template <class Decoder>
void feed(Decoder& decoder, const std::vector<uint8_t>& words, uint64_t timestamp = 0) {
    for (std::size_t offset = 0; offset < words.size(); offset += 16) {
        decoder.decode(timestamp, words.data() + offset + 2);
    }
}

// Deterministic, distinct-looking codes for every (set, channel).
inline uint16_t np1_ap_code(uint64_t group, int channel) { return (group * 37 + channel * 11 + 3) & 0x3FF; }
inline uint16_t np1_lfp_code(uint64_t superframe, int channel) { return (superframe * 101 + channel * 7 + 500) & 0x3FF; }
inline uint16_t np2_code(uint64_t superframe, int channel) { return (superframe * 257 + channel * 13 + 1) & 0xFFF; }

}  // namespace pelionp::test
