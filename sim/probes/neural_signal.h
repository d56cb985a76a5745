#pragma once
// What a simulated electrode records: a model of an extracellular recording,
// the same for every run of a probe (seeded by its kind and serial).
//
//   noise  band-limited (about 300 Hz to 6 kHz), 10 µV RMS, independent
//          from site to site;
//   LFP    a rhythm of a few hundred µV (harmonics of 3.9 Hz, strongest at
//          7.8 Hz, with a little 39 Hz), its amplitude and phase varying
//          smoothly with depth (it reverses across one depth of the shank),
//          plus slow noise shared by sites within a few hundred µm;
//   units  neurons sitting on a site, about one per 120 µm of shank, each
//          firing 1 to 3 spikes per signal period (3.9 to 11.7 Hz), with a
//          waveform of 50 to 200 µV trough on its site that falls off as a
//          Gaussian of the distance (sigma 18 µm: 2 % at 50 µm).
//
// Everything repeats exactly every SIGNAL_PERIOD_TICKS (tick_cache.h), so the
// probe streams can send cached words. NB: the price of that speed is that a
// unit fires at the same phases of every 256 ms period, and the noise
// repeats with it; a detector or a monitor cannot tell within a period.
//
// Positions are in µm, as the recording's geometry map gives them: x from
// the shank's left edge, z from the tip row. NP1: electrode e in row e/2,
// rows 20 µm apart, even rows at x = 27 and 59, odd ones at 11 and 43. NP2:
// rows 15 µm apart at x = 27 and 59, 1280 electrodes on each of 4 shanks
// (a one-shank probe uses shank 0 of the model).
//
// Threading: a model is immutable once made; `of` may be called from any
// thread.
#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <span>
#include <vector>

#include "sim/probes/tick_cache.h"

namespace pelionp::sim {

enum class SignalLayout { np1, np2 };

/// µV of one code step at the gains the host configures by default (NP1 AP
/// 1000, LF 50; NP2 80, its 12-bit codes written on the 14-bit scale), as
/// the recording's .meta scales them. NB: the simulated NP1 chip does not
/// apply the gains it is sent; at other gains the µV scale is off by their
/// ratio.
inline constexpr double NP1_AP_UV_PER_CODE = 1.2e6 / 1024.0 / 1000.0;
inline constexpr double NP1_LF_UV_PER_CODE = 1.2e6 / 1024.0 / 50.0;
inline constexpr double NP2_UV_PER_CODE = 1.0e6 / 4096.0 / 80.0;

/// std::lround's result (halves away from zero) without its library call
/// or a branch (a sample's sign is a coin toss to the branch predictor).
inline long round_half_away(double v) {
    const long whole = static_cast<long>(v);  // toward zero
    const double rest = v - static_cast<double>(whole);  // exact
    return whole + static_cast<long>(rest >= 0.5) - static_cast<long>(rest <= -0.5);
}

struct SitePositionUm {
    double x = 0;
    double z = 0;
};

/// A simulated neuron: the site it peaks on and when it fires.
struct SimUnit {
    static constexpr int MAX_SPIKES = 3;
    int shank = 0;
    int electrode = 0;  // within its shank
    SitePositionUm position;
    double amplitude_uv = 0;  // trough depth on its own site
    /// Ticks within the period (0 <= phase < SIGNAL_PERIOD_TICKS) at which
    /// the trough falls; a spike at device tick t has t % period == phase.
    std::array<uint32_t, MAX_SPIKES> phases{};
    int spikes = 0;
};

class NeuralSignal {
public:
    static constexpr int NP1_ELECTRODES = 960;
    static constexpr int NP2_SHANK_ELECTRODES = 1280;
    static constexpr int NP2_SHANKS = 4;
    /// Waveform samples (30 kHz) and where the trough sits among them.
    static constexpr int WAVEFORM_TICKS = 48;
    static constexpr int TROUGH_AT = 12;

    /// The model of a probe; made at the first call and kept for the process.
    static const NeuralSignal& of(SignalLayout layout, uint64_t serial);

    explicit NeuralSignal(SignalLayout layout, uint64_t serial);

    static SitePositionUm position(SignalLayout layout, int electrode);

    /// AP-band µV of an electrode at device tick `tick`: noise and spikes
    /// (NP1 AP band, high-passed: no LFP).
    float ap_uv(int shank, int electrode, uint64_t tick) const;
    /// LFP µV (the rhythm and its shared noise).
    float lfp_uv(int shank, int electrode, uint64_t tick) const;
    /// What a wideband (NP2) electrode records: LFP + noise + spikes.
    float wideband_uv(int shank, int electrode, uint64_t tick) const {
        return lfp_uv(shank, electrode, tick) + ap_uv(shank, electrode, tick);
    }
    /// The same for many electrodes at one tick, to the bit: `out[i]` for
    /// the electrode `site_index(shank, electrode)` = `sites[i]`, 0 where
    /// `sites[i]` < 0. NB: what makes a probe stream's first period (every
    /// tick's words made once) cheap enough: one pass over a tick's sites
    /// with the tick's tables found once.
    void wideband_uv(std::span<const int32_t> sites, uint64_t tick, std::span<float> out) const;
    int32_t site_index(int shank, int electrode) const noexcept { return shank * electrodes_per_shank() + electrode; }

    SignalLayout layout() const noexcept { return layout_; }
    int shanks() const noexcept { return layout_ == SignalLayout::np1 ? 1 : NP2_SHANKS; }
    int electrodes_per_shank() const noexcept {
        return layout_ == SignalLayout::np1 ? NP1_ELECTRODES : NP2_SHANK_ELECTRODES;
    }
    const std::vector<SimUnit>& units() const noexcept { return units_; }
    /// The trough ticks of a unit in [from, to), in order.
    static std::vector<uint64_t> spike_ticks(const SimUnit& unit, uint64_t from, uint64_t to);
    /// The peak-site amplitude of unit `u` seen at electrode (shank, e): its
    /// amplitude times the spatial fall-off.
    double amplitude_at(const SimUnit& unit, int shank, int electrode) const;

private:
    // One spike of a unit that reaches a site: where its waveform begins
    // within the period, and the site's gain for it.
    struct SiteSpike {
        uint16_t start;  // (phase - TROUGH_AT) mod period
        uint16_t unit;
        float gain;
    };
    static constexpr int MAX_NEARBY = 8;
    static constexpr int LFP_HARMONICS = 5;
    static constexpr int SLOW_TABLES = 16;
    struct Site {
        // Two AP-noise tables at their offsets, summed: where in noise_
        // each begins (table x 2 x period + offset).
        uint32_t noise_at[2];
        // LFP: coefficients of the cos and sin tables of each harmonic.
        float lfp_cos[LFP_HARMONICS];
        float lfp_sin[LFP_HARMONICS];
        // Shared slow noise: a mix of the tables of the two nearest anchors.
        uint16_t slow_table[2];
        float slow_weight[2];
        // The spikes of the nearby units (at most MAX_NEARBY, strongest
        // first): spikes_[first_spike, + spike_count).
        uint32_t first_spike;
        uint8_t spike_count;
    };

    const Site& site(int shank, int electrode) const { return sites_[static_cast<std::size_t>(site_index(shank, electrode))]; }
    // The two parts, shared by the one-electrode and the many-electrode
    // calls so that both give the same floats. `k`: the tick in the period.
    float ap_at(const Site& s, uint64_t k) const;
    float lfp_at(const Site& s, const float* slow, const float* wave) const;

    SignalLayout layout_;
    std::vector<SimUnit> units_;
    std::vector<std::array<float, WAVEFORM_TICKS>> waveforms_;  // per unit, trough -1
    std::vector<Site> sites_;
    std::vector<SiteSpike> spikes_;
    // Tables of 2 x period samples one after the other, so that (tick %
    // period) + offset needs no second modulo.
    std::vector<float> noise_;
    // NB: tick-major (every table's value of one tick side by side), so
    // that the sites of one tick read one cache line of them.
    std::vector<float> slow_;      // [k * SLOW_TABLES + table]
    const float* harmonics_;       // [k * 2 * LFP_HARMONICS + 2h (+1)]: cos, sin; the same for every model
};

/// The ground truth of a probe's units on its first `shanks` shanks: the
/// model's figures and each unit's site, position, amplitude and trough
/// ticks in [from, to):
///   {"serial", "layout": "np1"|"np2", "period_ticks", "noise_rms_uv",
///    "falloff_sigma_um", "units": [{"shank", "electrode", "x_um", "z_um",
///    "amplitude_uv", "phases", "spike_ticks": [...]}]}
nlohmann::json ground_truth(SignalLayout layout, uint64_t serial, int shanks, uint64_t from, uint64_t to);

}  // namespace pelionp::sim
