#pragma once
// Synthetic stream sources, so a headstage without a simulated probe still
// streams decodable data at the probe's real word rate: NP1 one frame group
// (65 words) per tick, NP2 one superframe (48 words) per tick, IO one frame
// (6 words) every 30 ticks (1 kHz). The sample codes are the functions
// below, so a test can predict any sample.
#include <cstdint>
#include <memory>

#include "sim/stream_encoders.h"
#include "sim/stream_source.h"

namespace pelionp::sim {

inline constexpr uint64_t IO_TICKS_PER_FRAME = 30;

/// 10-bit NP1 codes of the placeholder: a ramp per channel.
constexpr uint16_t placeholder_np1_ap(uint64_t group, int channel) {
    return static_cast<uint16_t>((group + static_cast<uint64_t>(channel) * 3) % 1024);
}
constexpr uint16_t placeholder_np1_lfp(uint64_t superframe, int channel) {
    return static_cast<uint16_t>((superframe * 5 + static_cast<uint64_t>(channel)) % 1024);
}
/// 12-bit NP2 codes of the placeholder.
constexpr uint16_t placeholder_np2_ap(uint64_t superframe, int channel) {
    return static_cast<uint16_t>((superframe + static_cast<uint64_t>(channel) * 7) % 4096);
}

std::shared_ptr<StreamSource> make_placeholder_np1_source();
std::shared_ptr<StreamSource> make_placeholder_np2_source();
/// IO frame n carries value_u64 = n.
std::shared_ptr<StreamSource> make_placeholder_io_source();

}  // namespace pelionp::sim
