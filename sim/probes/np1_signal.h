#pragma once
// The synthetic signal of a simulated Neuropixels 1.0 electrode: a
// deterministic function of probe serial, electrode and sample index, so a
// test can predict any sample the board streams. The AP band carries a
// few-hundred-hertz oscillation with sparse spikes; the LFP band a slow wave.
#include <cstdint>

namespace pelionp::sim {

/// Idle ADC code: what a channel in standby, or with no electrode, reads.
inline constexpr uint16_t NP1_FLAT_CODE = 512;

/// 10-bit AP code of an electrode at AP sample `tick` (30 kHz). Repeats
/// exactly every SIGNAL_PERIOD_TICKS (sim/probes/tick_cache.h), which lets
/// the probe's stream reuse its encoded words.
uint16_t np1_ap_code(uint64_t serial, int electrode, uint64_t tick);
/// 10-bit LFP code of an electrode at LFP sample `index` (2.5 kHz, one per
/// superframe of 12 AP samples).
uint16_t np1_lfp_code(uint64_t serial, int electrode, uint64_t index);

}  // namespace pelionp::sim
