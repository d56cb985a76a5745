#pragma once
// Stand-in stream sources, so a headstage without a simulated probe still
// streams at the probe's real word rate: NP1 65 words per tick (one frame
// group of 13 five-word frames), NP2 48 words per tick, IO one six-word
// frame every 30 ticks (1 kHz). The payload is a deterministic pattern
// (the tick count and the word's index), not decodable probe data.
#include <memory>

#include "sim/stream_source.h"

namespace pelionp::sim {

inline constexpr std::size_t NP1_WORDS_PER_TICK = 65;
inline constexpr std::size_t NP2_WORDS_PER_TICK = 48;
inline constexpr std::size_t IO_WORDS_PER_FRAME = 6;
inline constexpr uint64_t IO_TICKS_PER_FRAME = 30;

std::shared_ptr<StreamSource> make_placeholder_np1_source();
std::shared_ptr<StreamSource> make_placeholder_np2_source();
/// IO frames with word indices 1..6 in payload byte 0.
std::shared_ptr<StreamSource> make_placeholder_io_source();

}  // namespace pelionp::sim
