#include "sim/probes/np1_signal.h"

#include <algorithm>
#include <cmath>

#include "sim/probes/neural_signal.h"

namespace pelionp::sim {
namespace {

uint16_t to_code(float uv, double uv_per_code) {
    return static_cast<uint16_t>(std::clamp(512L - round_half_away(uv / uv_per_code), 0L, 1023L));
}

}  // namespace

uint16_t np1_ap_code(const NeuralSignal& model, int electrode, uint64_t tick) {
    return to_code(model.ap_uv(0, electrode, tick), NP1_AP_UV_PER_CODE);
}

uint16_t np1_lfp_code(const NeuralSignal& model, int electrode, uint64_t index) {
    return to_code(model.lfp_uv(0, electrode, 12 * index), NP1_LF_UV_PER_CODE);
}

uint16_t np1_ap_code(uint64_t serial, int electrode, uint64_t tick) {
    return np1_ap_code(NeuralSignal::of(SignalLayout::np1, serial), electrode, tick);
}

uint16_t np1_lfp_code(uint64_t serial, int electrode, uint64_t index) {
    return np1_lfp_code(NeuralSignal::of(SignalLayout::np1, serial), electrode, index);
}

}  // namespace pelionp::sim
