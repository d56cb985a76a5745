#pragma once
// The signal of a simulated Neuropixels 1.0 electrode as its 10-bit codes: a
// deterministic function of probe serial, electrode and tick, so a test can
// predict any sample the board streams. The µV come from the probe's
// NeuralSignal (sim/probes/neural_signal.h): the AP band carries noise and
// spikes, the LFP band the rhythm. Codes are centred on 512 and inverted, as
// the host's conversion ((512 - code) x gain) expects.
#include <cstdint>

namespace pelionp::sim {

class NeuralSignal;

/// Idle ADC code: what a channel in standby, or with no electrode, reads.
inline constexpr uint16_t NP1_FLAT_CODE = 512;

/// 10-bit AP code of an electrode at AP sample `tick` (30 kHz). Repeats
/// exactly every SIGNAL_PERIOD_TICKS (sim/probes/tick_cache.h), which lets
/// the probe's stream reuse its encoded words.
uint16_t np1_ap_code(uint64_t serial, int electrode, uint64_t tick);
/// 10-bit LFP code of an electrode at LFP sample `index` (2.5 kHz, one per
/// superframe of 12 AP samples; the sample of tick 12 x index).
uint16_t np1_lfp_code(uint64_t serial, int electrode, uint64_t index);

/// The same, from a probe's model (NeuralSignal::of(SignalLayout::np1, serial)).
uint16_t np1_ap_code(const NeuralSignal& model, int electrode, uint64_t tick);
uint16_t np1_lfp_code(const NeuralSignal& model, int electrode, uint64_t index);

}  // namespace pelionp::sim
