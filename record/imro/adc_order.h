#pragma once
// Which ADC samples a readout channel, and when in the ADC's cycle: what
// phase-shift correction needs to line up channels sampled at different
// moments of one sample period. From the probes' public multiplexer tables:
//   NP1: 32 ADCs of 12 channels; slot j (0..11) of ADC i (0..31) holds
//        channel 24·(i div 2) + 2·j + (i mod 2).
//   NP2: 24 ADCs of 16 channels; slot j (0..15) of ADC i (0..23) holds
//        channel 32·(i div 2) + 2·j + (i mod 2).
// The same pattern as the probes' stream frames: pairs of ADCs share a block
// of 24 (NP1) or 32 (NP2) channels, even channels on the even ADC.

#include "record/probe_kind.h"

#include "record/export.h"

namespace pelionp::record::imro {

struct PELIONP_RECORD_API AdcSlot {
  int adc = 0;           // 0..ADCs-1
  int sample_order = 0;  // 0..per-ADC-1: the moment in the cycle

  friend bool operator==(const AdcSlot&, const AdcSlot&) = default;
};

constexpr int adc_count(ProbeKind kind) noexcept { return kind == ProbeKind::np1 ? 32 : 24; }
constexpr int channels_per_adc(ProbeKind kind) noexcept { return CHANNEL_COUNT / adc_count(kind); }

// The channel in slot `sample_order` of ADC `adc`.
constexpr int adc_channel(ProbeKind kind, AdcSlot slot) noexcept {
  const int block = 2 * channels_per_adc(kind);
  return block * (slot.adc / 2) + 2 * slot.sample_order + slot.adc % 2;
}

// The inverse: where channel `channel` (0..383) is sampled.
constexpr AdcSlot adc_slot(ProbeKind kind, int channel) noexcept {
  const int block = 2 * channels_per_adc(kind);
  const int within = channel % block;
  return {2 * (channel / block) + within % 2, within / 2};
}

}  // namespace pelionp::record::imro
