// End to end on the simulated board: an NP2 headstage with a single-shank
// probe in dock 0 and a four-shank probe in dock 1. Detect, init both docks,
// select electrodes and references, upload, stream both probes at once
// through the controller and their workers, and compare every set with the
// simulated electrodes' signal, gain-corrected.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/headstages/np2_headstage.h"
#include "pelionp/probes/np2/electrode_map.h"
#include "pelionp/probes/np2/init.h"
#include "pelionp/probes/np2/probe_variants.h"
#include "sim/probes/np2_probe.h"
#include "sim/rig.h"

namespace {

using pelionp::channelreference_t;
using pelionp::NP2::APData;
using pelionp::NP2::NP2003NP2004;
using pelionp::NP2::NP2013NP2014;
using pelionp::NP2::NP2ProbeBase;

constexpr int PORT = 2;
constexpr uint64_t SINGLE_SERIAL = 19011116544ULL;
constexpr uint64_t FOUR_SERIAL = 20124007321ULL;
constexpr std::size_t CHANNELS = 384;

/// What a channel should carry: the (shank, electrode) it reaches, none when
/// flat (standby or disconnected).
struct Expected {
    uint64_t serial;
    std::array<std::optional<std::pair<uint8_t, uint16_t>>, CHANNELS> source{};
    std::array<float, CHANNELS> gain{};
};

std::string gain_file(uint64_t serial, const std::array<float, CHANNELS>& gain) {
    std::ostringstream csv;
    csv << serial << '\n';
    for (std::size_t c = 0; c < CHANNELS; ++c) csv << c << ',' << gain[c] << '\n';
    return csv.str();
}

class Np2Streaming : public ::testing::Test {
protected:
    Np2Streaming() {
        pelionp::sim::RigContents contents;
        contents.ports[PORT] = pelionp::sim::NP2PortContents{
            .docks = {pelionp::sim::NP2DockContents{.probe_pn = "NP2003", .serial = SINGLE_SERIAL},
                      pelionp::sim::NP2DockContents{.probe_pn = "NP2013", .serial = FOUR_SERIAL}}};
        rig = pelionp::sim::make_rig(contents, {.paced = true, .views = false, .ticks_per_buffer = 30});
        single_sim = *rig.ports[PORT].np2[0];
        four_sim = *rig.ports[PORT].np2[1];
    }

    void load_gains(NP2ProbeBase& probe, Expected& expected, float first, float step, int period) {
        for (std::size_t c = 0; c < CHANNELS; ++c)
            expected.gain[c] = first + step * static_cast<float>(static_cast<int>(c) % period);
        std::istringstream csv(gain_file(expected.serial, expected.gain));
        const auto loaded = probe.load_gain_calibration(csv);
        ASSERT_TRUE(loaded) << loaded.error();
        for (std::size_t c = 0; c < CHANNELS; ++c) ASSERT_EQ(probe.gain_factor(c), expected.gain[c]) << c;
    }

    /// The probe chip decoded from its chains what the test selected.
    static void expect_chip_sources(const pelionp::sim::NP2Probe& probe, const Expected& expected) {
        const auto sources = probe.chip().sources();
        for (std::size_t c = 0; c < CHANNELS; ++c) {
            ASSERT_EQ(sources[c].has_value(), expected.source[c].has_value()) << "channel " << c;
            if (!sources[c]) continue;
            ASSERT_EQ(sources[c]->shank, expected.source[c]->first) << "channel " << c;
            ASSERT_EQ(sources[c]->electrode, expected.source[c]->second) << "channel " << c;
        }
    }

    static std::vector<APData> take_at_least(NP2ProbeBase& probe, std::size_t count) {
        std::vector<APData> out;
        APData set{};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (probe.stream().packets().wait_dequeue_timed(set, std::chrono::milliseconds(100))) out.push_back(set);
        }
        return out;
    }

    /// Every sample equals (code - 2048) x gain of what the simulated
    /// electrode sent at the set's timestamp; sets follow tick by tick.
    static void expect_sets_match(const std::vector<APData>& sets, const Expected& expected, std::size_t count) {
        ASSERT_GE(sets.size(), count);
        for (std::size_t k = 0; k < sets.size(); ++k) {
            const APData& set = sets[k];
            if (k > 0) {
                ASSERT_EQ(set.timestamp, sets[k - 1].timestamp + 1) << "no superframe lost";
            }
            for (std::size_t c = 0; c < CHANNELS; ++c) {
                const auto& source = expected.source[c];
                const int code = source ? pelionp::sim::np2_electrode_signal(expected.serial, source->first,
                                                                             source->second, set.timestamp)
                                        : 2048;
                ASSERT_EQ(set.samples[c], static_cast<int16_t>(static_cast<float>(code - 2048) * expected.gain[c]))
                    << "channel " << c << " at " << set.timestamp;
            }
        }
    }

    pelionp::sim::Rig rig;
    pelionp::sim::NP2ProbeSim single_sim;
    pelionp::sim::NP2ProbeSim four_sim;
};

TEST_F(Np2Streaming, BothDocksStreamGainCorrectedElectrodesAtOnce) {
    auto controller = pelionp::NPController::create(rig.board);
    ASSERT_TRUE(controller) << controller.error();
    auto port = (*controller)->get_np_port(PORT);
    ASSERT_TRUE(port) << port.error();
    auto detected = (*controller)->detect_headstage(**port);
    ASSERT_TRUE(detected) << detected.error();
    auto& headstage = std::get<std::reference_wrapper<pelionp::NP2::Headstage>>(*detected).get();

    for (auto dock : {pelionp::NP2::Dock::DOCK0, pelionp::NP2::Dock::DOCK1}) {
        auto probe = pelionp::NP2::init(headstage.serializer, dock);
        ASSERT_TRUE(probe) << probe.error();
        headstage.probes[static_cast<std::size_t>(dock)] = std::move(*probe);
    }
    auto* single_ptr = std::get_if<NP2003NP2004>(headstage.probes[0].get());
    auto* four_ptr = std::get_if<NP2013NP2014>(headstage.probes[1].get());
    ASSERT_NE(single_ptr, nullptr) << "NP2003 in dock 0 is a single-shank probe";
    ASSERT_NE(four_ptr, nullptr) << "NP2013 in dock 1 is a four-shank probe";
    NP2003NP2004& single = *single_ptr;
    NP2013NP2014& four = *four_ptr;
    EXPECT_EQ(single.info.serial, SINGLE_SERIAL);
    EXPECT_EQ(four.info.serial, FOUR_SERIAL);
    EXPECT_EQ(single.stream_id(), pelionp::demux::SID(8 + PORT));
    EXPECT_EQ(four.stream_id(), pelionp::demux::SID(12 + PORT));

    Expected single_expected{.serial = SINGLE_SERIAL};
    Expected four_expected{.serial = FOUR_SERIAL};
    load_gains(single, single_expected, 0.5F, 0.25F, 11);
    load_gains(four, four_expected, 2.0F, -0.375F, 5);

    // Single shank: a bank per block of 32 channels (bank 3 reaches electrodes
    // only below channel 128), one channel disconnected,
    // one in standby; external reference on the lower half, then the tip on
    // the upper half (the tip wins the shank's switch).
    for (uint16_t c = 0; c < CHANNELS; ++c) {
        const auto bank = static_cast<uint8_t>(c < 96 ? 3 : (c / 32) % 3);
        ASSERT_TRUE(single.selectElectrode(c, bank, true)) << c;
        single_expected.source[c] =
            std::pair{uint8_t{0}, static_cast<uint16_t>(pelionp::NP2::single_shank_electrode(c, bank))};
        ASSERT_TRUE(single.setReference(c, c < 192 ? channelreference_t::EXT_REF : channelreference_t::TIP_REF));
    }
    ASSERT_TRUE(single.selectElectrode(40, 255, true));
    single_expected.source[40].reset();
    ASSERT_TRUE(single.setStdb(7, true));
    single_expected.source[7].reset();

    // Four shanks: shank by quarter of each 96 channels, bank by 96-channel
    // group; external reference on shank 2, local reference on ten channels
    // of shank 0; one channel in standby.
    for (uint16_t c = 0; c < CHANNELS; ++c) {
        const auto shank = static_cast<uint8_t>((c / 24) % 4);
        const auto bank = static_cast<uint8_t>((c / 96) % 3);
        ASSERT_TRUE(four.selectElectrode(c, shank, bank, true)) << c;
        four_expected.source[c] =
            std::pair{shank, static_cast<uint16_t>(pelionp::NP2::four_shank_electrode(c, shank, bank))};
        ASSERT_TRUE(four.setReference(c, 2, channelreference_t::EXT_REF));
    }
    for (uint16_t c = 100; c < 110; ++c) ASSERT_TRUE(four.setReference(c, 0, static_cast<channelreference_t>(3)));
    ASSERT_TRUE(four.setStdb(200, true));
    four_expected.source[200].reset();

    const auto single_upload = single.apply_shift_register_config(true);
    ASSERT_TRUE(single_upload.base.even && single_upload.base.odd && single_upload.shank);
    const auto four_upload = four.apply_shift_register_config(true);
    ASSERT_TRUE(four_upload.base.even && four_upload.base.odd);
    for (const auto& shank : four_upload.shanks) ASSERT_TRUE(shank) << shank.error();

    expect_chip_sources(*single_sim.probe, single_expected);
    expect_chip_sources(*four_sim.probe, four_expected);
    const auto single_channels = single_sim.probe->chip().channels();
    const auto four_channels = four_sim.probe->chip().channels();
    for (std::size_t c = 0; c < CHANNELS; ++c) {
        EXPECT_EQ(single_channels[c].standby, c == 7) << c;
        EXPECT_EQ(single_channels[c].reference, c < 192 ? 0 : 1) << c;
        EXPECT_EQ(four_channels[c].standby, c == 200) << c;
        EXPECT_EQ(four_channels[c].reference, c >= 100 && c < 110 ? 2 : 0) << c;
    }
    EXPECT_EQ(single_sim.probe->chip().shank(0).switch_selector, 1) << "tip";
    EXPECT_EQ(four_sim.probe->chip().shank(0).switch_selector, 0) << "local reference: switch open";
    EXPECT_EQ(four_sim.probe->chip().shank(2).switch_selector, 2) << "external";

    ASSERT_TRUE((*controller)->start_stream(single.stream().worker()));
    ASSERT_TRUE((*controller)->start_stream(four.stream().worker()));
    auto single_sets = take_at_least(single, 200);
    auto four_sets = take_at_least(four, 200);
    expect_sets_match(single_sets, single_expected, 200);
    expect_sets_match(four_sets, four_expected, 200);

    ASSERT_TRUE((*controller)->stop_stream(single.stream().worker()));
    ASSERT_TRUE((*controller)->stop_stream(four.stream().worker()));
    EXPECT_EQ(single.stream().packets().size_approx(), 0U) << "the stop resyncs the worker, which clears the queue";
    EXPECT_EQ(four.stream().packets().size_approx(), 0U);
    EXPECT_EQ(single.stream().counters().packets, 0U);

    // A new selection shows in the data once uploaded; both streams restart.
    ASSERT_TRUE(single.selectElectrode(5, 1, true));
    single_expected.source[5] = std::pair{uint8_t{0}, static_cast<uint16_t>(pelionp::NP2::single_shank_electrode(5, 1))};
    ASSERT_TRUE(single.setStdb(7, false));
    single_expected.source[7] = std::pair{uint8_t{0}, static_cast<uint16_t>(pelionp::NP2::single_shank_electrode(7, 3))};
    const auto again = single.apply_shift_register_config(false);
    ASSERT_TRUE(again.base.even && again.base.odd && again.shank);
    expect_chip_sources(*single_sim.probe, single_expected);

    ASSERT_TRUE((*controller)->start_stream(four.stream().worker()));
    ASSERT_TRUE((*controller)->start_stream(single.stream().worker()));
    single_sets = take_at_least(single, 100);
    four_sets = take_at_least(four, 100);
    expect_sets_match(single_sets, single_expected, 100);
    expect_sets_match(four_sets, four_expected, 100);
    ASSERT_TRUE((*controller)->stop_stream(four.stream().worker()));
    ASSERT_TRUE((*controller)->stop_stream(single.stream().worker()));
}

}  // namespace
