#include "sim/probes/neural_signal.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <utility>

#include <nlohmann/json.hpp>

namespace pelionp::sim {
namespace {

constexpr uint64_t PERIOD = SIGNAL_PERIOD_TICKS;
constexpr double TICK_RATE = 30000.0;
constexpr double NOISE_RMS_UV = 10.0;
constexpr double FALLOFF_SIGMA_UM = 18.0;
constexpr double NEARBY_RADIUS_UM = 60.0;
constexpr double UNIT_SPACING_UM = 40.0;  // no two units of a shank closer
constexpr int NOISE_TABLES = 16;
constexpr double SLOW_RMS_UV = 40.0;
constexpr double SLOW_ANCHOR_UM = 400.0;
constexpr std::array<int, 5> HARMONICS{1, 2, 3, 4, 10};  // x 3.90625 Hz
constexpr std::array<double, 5> HARMONIC_UV{70.0, 180.0, 50.0, 35.0, 15.0};

// splitmix64: a small, well-mixed generator, so every model is the same on
// every platform and standard library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double uniform(double low, double high) { return low + (high - low) * uniform(); }
    uint64_t below(uint64_t n) { return next() % n; }
    double gauss() {
        const double u = 1.0 - uniform();  // (0, 1]
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * uniform());
    }

private:
    uint64_t state_;
};

// One-pole low-pass run around the period twice, so the output is periodic
// (the second lap starts from the first lap's end state).
std::vector<double> circular_lowpass(const std::vector<double>& x, double hz) {
    const double a = std::exp(-2.0 * std::numbers::pi * hz / TICK_RATE);
    std::vector<double> y(x.size());
    double state = 0;
    for (int lap = 0; lap < 2; ++lap)
        for (std::size_t n = 0; n < x.size(); ++n) y[n] = state = a * state + (1.0 - a) * x[n];
    return y;
}

// Normalised to RMS 1, and written out twice so that an index of
// (tick % period) + offset (offset < period) needs no second modulo.
std::vector<float> doubled_unit_rms(const std::vector<double>& x) {
    double power = 0;
    for (double v : x) power += v * v;
    const double scale = 1.0 / std::sqrt(power / static_cast<double>(x.size()));
    std::vector<float> out(2 * x.size());
    for (std::size_t n = 0; n < x.size(); ++n) out[n] = out[n + x.size()] = static_cast<float>(x[n] * scale);
    return out;
}

std::vector<double> white(Random& random) {
    std::vector<double> x(PERIOD);
    for (double& v : x) v = random.gauss();
    return x;
}

// The AP band: 300 Hz high-pass, 6 kHz low-pass.
std::vector<float> ap_noise_table(Random& random) {
    std::vector<double> x = white(random);
    const std::vector<double> low = circular_lowpass(x, 300.0);
    for (std::size_t n = 0; n < x.size(); ++n) x[n] -= low[n];
    return doubled_unit_rms(circular_lowpass(x, 6000.0));
}

// Slow fluctuations: two poles at 15 Hz.
std::vector<float> slow_noise_table(Random& random) {
    return doubled_unit_rms(circular_lowpass(circular_lowpass(white(random), 15.0), 15.0));
}

std::array<float, NeuralSignal::WAVEFORM_TICKS> spike_waveform(Random& random) {
    // A sharp trough and a slower positive after-phase, in ms.
    const double trough_sigma = random.uniform(0.07, 0.12);
    const double after_ratio = random.uniform(0.2, 0.4);
    const double after_delay = random.uniform(0.3, 0.5);
    const double after_sigma = random.uniform(0.2, 0.3);
    std::array<float, NeuralSignal::WAVEFORM_TICKS> w{};
    double lowest = 0;
    for (int i = 0; i < NeuralSignal::WAVEFORM_TICKS; ++i) {
        const double t = (i - NeuralSignal::TROUGH_AT) / 30.0;
        double v = -std::exp(-t * t / (2 * trough_sigma * trough_sigma)) +
                   after_ratio * std::exp(-(t - after_delay) * (t - after_delay) / (2 * after_sigma * after_sigma));
        // Taper both ends to zero, so a spike begins and ends at rest.
        const int from_end = std::min(i, NeuralSignal::WAVEFORM_TICKS - 1 - i);
        if (from_end < 8) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * from_end / 8.0);
        w[static_cast<std::size_t>(i)] = static_cast<float>(v);
        lowest = std::min(lowest, v);
    }
    for (float& v : w) v = static_cast<float>(v / -lowest);
    return w;
}

double distance(SitePositionUm a, SitePositionUm b) { return std::hypot(a.x - b.x, a.z - b.z); }

// cos and sin of each harmonic at every tick of the period, tick-major.
const std::vector<float>& harmonic_table() {
    static const std::vector<float> table = [] {
        std::vector<float> t(PERIOD * 2 * HARMONICS.size());
        for (uint64_t k = 0; k < PERIOD; ++k)
            for (std::size_t h = 0; h < HARMONICS.size(); ++h) {
                const double angle = 2.0 * std::numbers::pi * HARMONICS[h] * static_cast<double>(k) / PERIOD;
                t[(k * HARMONICS.size() + h) * 2] = static_cast<float>(std::cos(angle));
                t[(k * HARMONICS.size() + h) * 2 + 1] = static_cast<float>(std::sin(angle));
            }
        return t;
    }();
    return table;
}

}  // namespace

const NeuralSignal& NeuralSignal::of(SignalLayout layout, uint64_t serial) {
    static std::mutex mutex;
    static std::map<std::pair<SignalLayout, uint64_t>, std::unique_ptr<const NeuralSignal>> models;
    std::lock_guard lock(mutex);
    auto& model = models[{layout, serial}];
    if (!model) model = std::make_unique<const NeuralSignal>(layout, serial);
    return *model;
}

SitePositionUm NeuralSignal::position(SignalLayout layout, int electrode) {
    const int row = electrode / 2;
    const int column = electrode % 2;
    if (layout == SignalLayout::np1) {
        static constexpr double EVEN[2] = {27, 59};
        static constexpr double ODD[2] = {11, 43};
        return {.x = row % 2 == 0 ? EVEN[column] : ODD[column], .z = 20.0 * row};
    }
    return {.x = 27.0 + 32.0 * column, .z = 15.0 * row};
}

NeuralSignal::NeuralSignal(SignalLayout layout, uint64_t serial) : layout_(layout), harmonics_(harmonic_table().data()) {
    static_assert(HARMONICS.size() == LFP_HARMONICS);
    Random random(serial * 0x2545F4914F6CDD1DULL ^ (layout == SignalLayout::np1 ? 0x4e5031ULL : 0x4e50322ULL));
    noise_.reserve(NOISE_TABLES * 2 * PERIOD);
    for (int t = 0; t < NOISE_TABLES; ++t) {
        const std::vector<float> table = ap_noise_table(random);
        noise_.insert(noise_.end(), table.begin(), table.end());
    }
    slow_.resize(PERIOD * SLOW_TABLES);
    for (int t = 0; t < SLOW_TABLES; ++t) {
        const std::vector<float> table = slow_noise_table(random);
        for (uint64_t k = 0; k < PERIOD; ++k) slow_[k * SLOW_TABLES + static_cast<uint64_t>(t)] = table[k];
    }
    const int per_shank = electrodes_per_shank();
    const double shank_length = position(layout, per_shank - 1).z;

    // Units: about one per 120 µm of shank (one per 12 electrodes), none
    // closer than UNIT_SPACING_UM to another.
    for (int shank = 0; shank < shanks(); ++shank) {
        std::vector<SimUnit> placed;
        for (int attempt = 0; attempt < 4 * per_shank && static_cast<int>(placed.size()) < per_shank / 12; ++attempt) {
            SimUnit u;
            u.shank = shank;
            u.electrode = static_cast<int>(random.below(static_cast<uint64_t>(per_shank)));
            u.position = position(layout, u.electrode);
            if (std::ranges::any_of(placed, [&](const SimUnit& o) { return distance(o.position, u.position) < UNIT_SPACING_UM; }))
                continue;
            u.amplitude_uv = random.uniform(50.0, 200.0);
            u.spikes = 1 + static_cast<int>(random.below(SimUnit::MAX_SPIKES));
            // Spikes at least 5 ms apart, around the period's end too.
            for (int s = 0; s < u.spikes;) {
                const auto phase = static_cast<uint32_t>(random.below(PERIOD));
                const bool clear = std::none_of(u.phases.begin(), u.phases.begin() + s, [&](uint32_t p) {
                    const uint64_t gap = phase > p ? phase - p : p - phase;
                    return std::min(gap, PERIOD - gap) < 150;
                });
                if (clear) u.phases[static_cast<std::size_t>(s++)] = phase;
            }
            // In order (NB: by hand: g++ 12 warns of bounds in std::sort over
            // part of a member array).
            for (std::size_t i = 1; i < static_cast<std::size_t>(u.spikes); ++i)
                for (std::size_t j = i; j > 0 && u.phases[j - 1] > u.phases[j]; --j) std::swap(u.phases[j - 1], u.phases[j]);
            placed.push_back(u);
            waveforms_.push_back(spike_waveform(random));
        }
        units_.insert(units_.end(), placed.begin(), placed.end());
    }

    // LFP, per shank: the rhythm reverses across one depth, and its phase
    // drifts slowly with depth.
    struct ShankLfp {
        double reversal_um;
        double envelope_phase;
        std::array<double, HARMONICS.size()> phase, drift_per_um;
    };
    std::array<double, HARMONICS.size()> shared_phase{};
    for (double& p : shared_phase) p = random.uniform(0, 2 * std::numbers::pi);
    std::vector<ShankLfp> lfp(static_cast<std::size_t>(shanks()));
    for (auto& l : lfp) {
        l.reversal_um = random.uniform(0.3, 0.7) * shank_length;
        l.envelope_phase = random.uniform(0, 2 * std::numbers::pi);
        for (std::size_t h = 0; h < HARMONICS.size(); ++h) {
            l.phase[h] = shared_phase[h] + random.uniform(-0.3, 0.3);
            l.drift_per_um[h] = random.uniform(-0.5e-3, 0.5e-3);
        }
    }
    const uint64_t slow_salt = random.next();

    sites_.resize(static_cast<std::size_t>(shanks() * per_shank));
    for (int shank = 0; shank < shanks(); ++shank) {
        const ShankLfp& l = lfp[static_cast<std::size_t>(shank)];
        for (int e = 0; e < per_shank; ++e) {
            Site& s = sites_[static_cast<std::size_t>(shank * per_shank + e)];
            const SitePositionUm at = position(layout, e);
            for (int i = 0; i < 2; ++i) {
                const uint64_t table = random.below(NOISE_TABLES);
                const uint64_t offset = random.below(PERIOD);
                s.noise_at[i] = static_cast<uint32_t>(table * 2 * PERIOD + offset);
            }
            const double envelope = std::tanh((at.z - l.reversal_um) / 250.0) *
                                    (0.8 + 0.2 * std::sin(2 * std::numbers::pi * at.z / 3000.0 + l.envelope_phase));
            for (std::size_t h = 0; h < HARMONICS.size(); ++h) {
                // A cos(wk + phi) = A cos(phi) cos(wk) - A sin(phi) sin(wk)
                const double amplitude = HARMONIC_UV[h] * envelope;
                const double phase = l.phase[h] + l.drift_per_um[h] * at.z;
                s.lfp_cos[h] = static_cast<float>(amplitude * std::cos(phase));
                s.lfp_sin[h] = static_cast<float>(-amplitude * std::sin(phase));
            }
            const double anchor = at.z / SLOW_ANCHOR_UM;
            const auto below = static_cast<uint64_t>(anchor);
            const double f = anchor - static_cast<double>(below);
            const double norm = SLOW_RMS_UV / std::hypot(1.0 - f, f);
            for (int i = 0; i < 2; ++i) {
                const uint64_t key = (slow_salt + static_cast<uint64_t>(shank) * 131 + (below + static_cast<uint64_t>(i)) * 17);
                s.slow_table[i] = static_cast<uint16_t>(key % SLOW_TABLES);
            }
            s.slow_weight[0] = static_cast<float>((1.0 - f) * norm);
            s.slow_weight[1] = static_cast<float>(f * norm);
            if (s.slow_table[1] == s.slow_table[0]) s.slow_table[1] = static_cast<uint16_t>((s.slow_table[0] + 1) % SLOW_TABLES);

            // The units that reach this site, strongest first.
            struct Nearby {
                uint16_t unit;
                float gain;  // amplitude_uv x fall-off
            };
            std::vector<Nearby> near;
            for (std::size_t u = 0; u < units_.size(); ++u) {
                if (units_[u].shank != shank || std::abs(units_[u].position.z - at.z) > NEARBY_RADIUS_UM) continue;
                const double d = distance(units_[u].position, at);
                if (d > NEARBY_RADIUS_UM) continue;
                near.push_back({static_cast<uint16_t>(u), static_cast<float>(units_[u].amplitude_uv *
                                                                             std::exp(-d * d / (2 * FALLOFF_SIGMA_UM * FALLOFF_SIGMA_UM)))});
            }
            std::ranges::sort(near, [](const Nearby& a, const Nearby& b) { return a.gain > b.gain; });
            near.resize(std::min<std::size_t>(near.size(), MAX_NEARBY));
            s.first_spike = static_cast<uint32_t>(spikes_.size());
            for (const Nearby& n : near) {
                const SimUnit& u = units_[n.unit];
                for (int i = 0; i < u.spikes; ++i) {
                    const uint64_t start = (u.phases[static_cast<std::size_t>(i)] + PERIOD - TROUGH_AT) % PERIOD;
                    spikes_.push_back({static_cast<uint16_t>(start), n.unit, n.gain});
                }
            }
            s.spike_count = static_cast<uint8_t>(spikes_.size() - s.first_spike);
        }
    }
}

inline float NeuralSignal::ap_at(const Site& s, uint64_t k) const {
    float v = static_cast<float>(NOISE_RMS_UV / std::numbers::sqrt2) * (noise_[k + s.noise_at[0]] + noise_[k + s.noise_at[1]]);
    // In the order of the nearby units and their spikes, as before they
    // were flattened: the sum is the same to the bit.
    const SiteSpike* spike = spikes_.data() + s.first_spike;
    for (int n = 0; n < s.spike_count; ++n, ++spike) {
        // Ticks since the waveform's start, around the period.
        const uint64_t dt = k >= spike->start ? k - spike->start : k + PERIOD - spike->start;
        if (dt < WAVEFORM_TICKS) v += spike->gain * waveforms_[spike->unit][dt];
    }
    return v;
}

inline float NeuralSignal::lfp_at(const Site& s, const float* slow, const float* wave) const {
    float v = s.slow_weight[0] * slow[s.slow_table[0]] + s.slow_weight[1] * slow[s.slow_table[1]];
    for (std::size_t h = 0; h < LFP_HARMONICS; ++h) v += s.lfp_cos[h] * wave[2 * h] + s.lfp_sin[h] * wave[2 * h + 1];
    return v;
}

float NeuralSignal::ap_uv(int shank, int electrode, uint64_t tick) const { return ap_at(site(shank, electrode), tick % PERIOD); }

float NeuralSignal::lfp_uv(int shank, int electrode, uint64_t tick) const {
    const uint64_t k = tick % PERIOD;
    return lfp_at(site(shank, electrode), slow_.data() + k * SLOW_TABLES, harmonics_ + k * 2 * LFP_HARMONICS);
}

void NeuralSignal::wideband_uv(std::span<const int32_t> sites, uint64_t tick, std::span<float> out) const {
    const uint64_t k = tick % PERIOD;
    const float* slow = slow_.data() + k * SLOW_TABLES;
    const float* wave = harmonics_ + k * 2 * LFP_HARMONICS;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        if (sites[i] < 0) {
            out[i] = 0;
            continue;
        }
        const Site& s = sites_[static_cast<std::size_t>(sites[i])];
        out[i] = lfp_at(s, slow, wave) + ap_at(s, k);
    }
}

std::vector<uint64_t> NeuralSignal::spike_ticks(const SimUnit& unit, uint64_t from, uint64_t to) {
    std::vector<uint64_t> ticks;
    if (to <= from) return ticks;
    const uint64_t first_period = from / PERIOD;
    for (uint64_t p = first_period; p * PERIOD < to; ++p)
        for (int i = 0; i < unit.spikes; ++i) {
            const uint64_t t = p * PERIOD + unit.phases[static_cast<std::size_t>(i)];
            if (t >= from && t < to) ticks.push_back(t);
        }
    return ticks;  // phases are sorted, periods in order
}

double NeuralSignal::amplitude_at(const SimUnit& unit, int shank, int electrode) const {
    if (shank != unit.shank) return 0;
    const double d = distance(unit.position, position(layout_, electrode));
    return unit.amplitude_uv * std::exp(-d * d / (2 * FALLOFF_SIGMA_UM * FALLOFF_SIGMA_UM));
}

nlohmann::json ground_truth(SignalLayout layout, uint64_t serial, int shanks, uint64_t from, uint64_t to) {
    const NeuralSignal& model = NeuralSignal::of(layout, serial);
    nlohmann::json units = nlohmann::json::array();
    for (const SimUnit& u : model.units()) {
        if (u.shank >= shanks) continue;
        units.push_back({{"shank", u.shank},
                         {"electrode", u.electrode},
                         {"x_um", u.position.x},
                         {"z_um", u.position.z},
                         {"amplitude_uv", std::round(u.amplitude_uv * 10.0) / 10.0},
                         {"phases", std::vector<uint32_t>(u.phases.begin(), u.phases.begin() + u.spikes)},
                         {"spike_ticks", NeuralSignal::spike_ticks(u, from, to)}});
    }
    return {{"serial", serial},
            {"layout", layout == SignalLayout::np1 ? "np1" : "np2"},
            {"period_ticks", PERIOD},
            {"from_tick", from},
            {"to_tick", to},
            {"noise_rms_uv", NOISE_RMS_UV},
            {"falloff_sigma_um", FALLOFF_SIGMA_UM},
            {"trough_at", NeuralSignal::TROUGH_AT},
            {"units", std::move(units)}};
}

}  // namespace pelionp::sim
