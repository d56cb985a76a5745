// The simulated probes' signal must look like an extracellular recording to
// whatever reads it (a monitor, a noise figure, a spike detector): noise of
// the right size that neighbouring sites do not share, an LFP they do share,
// units whose spikes peak on their site and fade within 50 µm, and ground
// truth that names them.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/probes/neural_signal.h"
#include "sim/probes/np1_signal.h"
#include "sim/probes/np2_probe.h"

namespace pelionp::sim {
namespace {

constexpr uint64_t PERIOD = SIGNAL_PERIOD_TICKS;

double rms(const std::vector<double>& x) {
    const double mean = std::accumulate(x.begin(), x.end(), 0.0) / static_cast<double>(x.size());
    double power = 0;
    for (double v : x) power += (v - mean) * (v - mean);
    return std::sqrt(power / static_cast<double>(x.size()));
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    const double ma = std::accumulate(a.begin(), a.end(), 0.0) / static_cast<double>(a.size());
    const double mb = std::accumulate(b.begin(), b.end(), 0.0) / static_cast<double>(b.size());
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return ab / std::sqrt(aa * bb);
}

// An electrode no unit reaches by more than 1 µV.
int quiet_electrode(const NeuralSignal& m, int shank) {
    for (int e = 0; e < m.electrodes_per_shank(); ++e)
        if (std::ranges::all_of(m.units(), [&](const SimUnit& u) { return m.amplitude_at(u, shank, e) < 1.0; })) return e;
    return -1;
}

struct Layout {
    SignalLayout layout;
    uint64_t serial;
};

class NeuralSignalTest : public testing::TestWithParam<Layout> {};

TEST_P(NeuralSignalTest, NoiseIsTenMicrovoltsAndOwnedByEachSite) {
    const NeuralSignal& m = NeuralSignal::of(GetParam().layout, GetParam().serial);
    const int e = quiet_electrode(m, 0);
    ASSERT_GE(e, 0);
    std::vector<double> here, neighbour;
    for (uint64_t t = 0; t < PERIOD; ++t) {
        here.push_back(m.ap_uv(0, e, t));
        neighbour.push_back(m.ap_uv(0, e + 1, t));
    }
    EXPECT_NEAR(rms(here), 10.0, 1.0);
    EXPECT_LT(std::abs(correlation(here, neighbour)), 0.2);
    // Band-limited: successive samples are alike (white noise would give 0;
    // a 6 kHz low-pass about 0.25), samples 1 ms apart are not (no slow
    // drift: a 300 Hz high-pass).
    const auto lagged = [&](std::size_t lag) {
        return correlation(std::vector<double>(here.begin(), here.end() - static_cast<long>(lag)),
                           std::vector<double>(here.begin() + static_cast<long>(lag), here.end()));
    };
    EXPECT_GT(lagged(1), 0.15);
    EXPECT_LT(std::abs(lagged(30)), 0.1);
}

TEST_P(NeuralSignalTest, LfpIsAFewHundredMicrovoltsAndSharedByNeighbours) {
    const NeuralSignal& m = NeuralSignal::of(GetParam().layout, GetParam().serial);
    std::vector<double> here, neighbour;
    for (uint64_t t = 0; t < PERIOD; t += 12) {
        here.push_back(m.lfp_uv(0, 100, t));
        neighbour.push_back(m.lfp_uv(0, 102, t));  // the next row
    }
    const auto [low, high] = std::ranges::minmax(here);
    EXPECT_GT(high - low, 100.0);
    EXPECT_LT(high - low, 1500.0);
    EXPECT_GT(correlation(here, neighbour), 0.9);
}

TEST_P(NeuralSignalTest, UnitsPeakOnTheirSiteFallOffWithinFiftyMicronsAndFireAFewTimesASecond) {
    const NeuralSignal& m = NeuralSignal::of(GetParam().layout, GetParam().serial);
    ASSERT_GE(static_cast<int>(m.units().size()), m.shanks() * 50);
    for (const SimUnit& u : m.units()) {
        SCOPED_TRACE(testing::Message() << "unit on shank " << u.shank << " electrode " << u.electrode);
        ASSERT_GE(u.amplitude_uv, 50.0);
        ASSERT_LE(u.amplitude_uv, 200.0);
        const auto rate = static_cast<double>(u.spikes) * 30000.0 / static_cast<double>(PERIOD);
        ASSERT_GE(rate, 3.0);
        ASSERT_LE(rate, 12.0);
        // The trough on the unit's own site: at least its amplitude less the
        // noise and the neighbours' spikes.
        const uint64_t trough = 5 * PERIOD + u.phases[0];
        ASSERT_LT(m.ap_uv(u.shank, u.electrode, trough), -0.6 * u.amplitude_uv);
        for (int e = 0; e < m.electrodes_per_shank(); ++e) {
            const SitePositionUm p = NeuralSignal::position(m.layout(), e);
            const double d = std::hypot(p.x - u.position.x, p.z - u.position.z);
            if (d >= 50.0) {
                ASSERT_LT(m.amplitude_at(u, u.shank, e), 0.05 * u.amplitude_uv) << "electrode " << e;
            }
        }
    }
}

TEST_P(NeuralSignalTest, GroundTruthListsEverySpikeInTheRange) {
    const auto [layout, serial] = GetParam();
    const NeuralSignal& m = NeuralSignal::of(layout, serial);
    const uint64_t from = 12345, to = from + 2 * 30000;
    const nlohmann::json truth = ground_truth(layout, serial, 1, from, to);
    const auto on_shank0 = std::ranges::count_if(m.units(), [](const SimUnit& u) { return u.shank == 0; });
    ASSERT_EQ(static_cast<long>(truth["units"].size()), on_shank0);
    for (const auto& unit : truth["units"]) {
        const SimUnit& u = *std::ranges::find_if(
            m.units(), [&](const SimUnit& x) { return x.shank == 0 && x.electrode == unit["electrode"].get<int>(); });
        const auto ticks = unit["spike_ticks"].get<std::vector<uint64_t>>();
        // Every period of the range holds each phase once.
        EXPECT_NEAR(static_cast<double>(ticks.size()), u.spikes * static_cast<double>(to - from) / PERIOD, u.spikes);
        for (uint64_t t : ticks) {
            ASSERT_GE(t, from);
            ASSERT_LT(t, to);
            ASSERT_TRUE(std::ranges::count(u.phases, static_cast<uint32_t>(t % PERIOD)));
        }
        ASSERT_TRUE(std::ranges::is_sorted(ticks));
        EXPECT_EQ(unit["x_um"].get<double>(), u.position.x);
    }
}

INSTANTIATE_TEST_SUITE_P(Probes, NeuralSignalTest,
                         testing::Values(Layout{SignalLayout::np1, 18005106641ULL}, Layout{SignalLayout::np2, 19011110123ULL}),
                         [](const auto& info) { return info.param.layout == SignalLayout::np1 ? "Np1" : "Np2"; });

TEST(NeuralSignal, CodesRoundHalvesAwayFromZero) {
    // Halves away from zero, and the doubles next to them each their own
    // way. NB: a table, not std::lround: MinGW's rounds 0.49999999999999994
    // to 1, and the simulated codes must be the same on every platform.
    struct Case {
        double value;
        long code;
    };
    for (const auto& [v, code] : std::initializer_list<Case>{
             {0.0, 0}, {0.5, 1}, {-0.5, -1}, {1.5, 2}, {-1.5, -2}, {2.5, 3}, {-2.5, -3},
             {0.49999999999999994, 0}, {-0.49999999999999994, 0}, {std::nextafter(2.5, 0.0), 2},
             {std::nextafter(-2.5, 0.0), -2}, {1e6 + 0.5, 1000001}, {-1e6 - 0.5, -1000001}, {123.456, 123},
             {-987.654, -988}}) {
        EXPECT_EQ(round_half_away(v), code) << v;
    }
}

TEST(NeuralSignal, CodesCarryTheMicrovoltsAtTheDefaultGains) {
    const NeuralSignal& np1 = NeuralSignal::of(SignalLayout::np1, 7);
    const NeuralSignal& np2 = NeuralSignal::of(SignalLayout::np2, 7);
    for (uint64_t t = 0; t < 3000; t += 7) {
        // The host reads NP1 as (512 - code) and NP2 as (code - 2048).
        EXPECT_NEAR((512 - np1_ap_code(7, 33, t)) * NP1_AP_UV_PER_CODE, np1.ap_uv(0, 33, t), NP1_AP_UV_PER_CODE / 2 + 1e-3);
        EXPECT_NEAR((512 - np1_lfp_code(7, 33, t)) * NP1_LF_UV_PER_CODE, np1.lfp_uv(0, 33, 12 * t),
                    NP1_LF_UV_PER_CODE / 2 + 1e-3);
        EXPECT_NEAR((np2_electrode_signal(7, 1, 33, t) - 2048) * NP2_UV_PER_CODE, np2.wideband_uv(1, 33, t),
                    NP2_UV_PER_CODE / 2 + 1e-3);
    }
    int differ = 0;
    for (uint64_t t = 0; t < 100; ++t) differ += np1_ap_code(7, 33, t) != np1_ap_code(8, 33, t);
    EXPECT_GT(differ, 50) << "another serial, another probe";
}

}  // namespace
}  // namespace pelionp::sim
