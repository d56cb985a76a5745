// A simulated probe sends each tick's words from its cache once the signal
// period came round: the stream must stay the one encoded from the sample
// functions, byte for byte, across periods, restarts and reconfigurations.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "sim/probes/np1_probe.h"
#include "sim/probes/np1_signal.h"
#include "sim/probes/np1_source.h"
#include "sim/probes/neural_signal.h"
#include "sim/probes/np2_probe.h"
#include "sim/probes/np2_source.h"
#include "sim/probes/tick_cache.h"
#include "sim/stream_encoders.h"

namespace pelionp::sim {
namespace {

constexpr uint64_t PERIOD = SIGNAL_PERIOD_TICKS;

// One run of a board stream: each tick a timestamp word (the tick count from
// `first`), then the source's words. Returns the source's words only.
template <class Tick>
std::vector<uint8_t> run(uint64_t first, std::size_t ticks, Tick&& append_tick) {
    TimestampEncoder timestamps(first);
    std::vector<uint8_t> out, words;
    for (std::size_t i = 0; i < ticks; ++i) {
        out.clear();
        timestamps.append(out);
        append_tick(out);
        words.insert(words.end(), out.begin() + STREAM_WORD_BYTES, out.end());
    }
    return words;
}

TEST(SimCachedStream, Np2ProbeSendsTheWordsItsSignalsEncodeTo) {
    auto probe = std::make_shared<NP2Probe>(
        NP2ProbeIdentity{.serial = 4242, .version_major = 1, .version_minor = 0, .flex_pn = "", .probe_pn = "NP2003"});
    auto& chip = probe->chip();
    const auto load = [&chip](uint8_t reg, const std::vector<uint8_t>& image) {
        ASSERT_TRUE(chip.write(0x1D, std::vector<uint8_t>{static_cast<uint8_t>(image.size() & 0xFF)}));
        ASSERT_TRUE(chip.write(0x1C, std::vector<uint8_t>{static_cast<uint8_t>(image.size() >> 8)}));
        for (int p = 0; p < 2; ++p) ASSERT_TRUE(chip.write(reg, image));
    };
    load(0x16, std::vector<uint8_t>(96, 0x44));
    load(0x17, std::vector<uint8_t>(96, 0x44));
    load(0x1B, std::vector<uint8_t>(161, 0xFF));  // every electrode: bank 0 drives each channel

    NP2ProbeSource source(probe);
    std::array<uint16_t, NP2ProbeChip::CHANNELS> codes{};
    NP2Encoder reference(9, NP2Samples{[&codes](uint64_t, int c) { return codes[static_cast<std::size_t>(c)]; }});
    const auto check = [&](uint64_t first, std::size_t ticks) {
        const auto got = run(first, ticks, [&](std::vector<uint8_t>& out) { source.append_tick(9, out); });
        const auto want = run(first, ticks, [&](std::vector<uint8_t>& out) {
            codes = probe->superframe(latest_timestamp(out));
            reference.append_superframes(out, 1);
        });
        ASSERT_EQ(got.size(), ticks * NP2Encoder::SUPERFRAME_BYTES);
        ASSERT_EQ(got, want) << "run from tick " << first;
    };
    check(0, 40);                 // made from the samples
    check(PERIOD, 40);            // the same slots again, from the cache
    check(PERIOD - 3, 7);         // round the end of the period
    {
        SCOPED_TRACE("a selection uploaded again keeps the data");
        load(0x1B, std::vector<uint8_t>(161, 0xFF));
        check(3 * PERIOD + 10, 20);
    }
    {
        SCOPED_TRACE("a new selection shows at once");
        std::vector<uint8_t> shank(161, 0);
        shank[80] = 0x04;  // electrode 0 only
        shank[81] = 0x80;  // and electrode 6
        load(0x1B, shank);
        check(2 * PERIOD + 5, 40);  // slots made before for the old selection
    }
    EXPECT_EQ(probe->superframe(5)[6], np2_electrode_signal(4242, 0, 6, 5));
}

// A probe whose stream is enabled while the board streams begins at the
// next superframe boundary, so its superframes fall on the same ticks in
// every run of a rig.
TEST(SimCachedStream, Np1ProbeEnabledOffTheSuperframeGridBeginsAtTheNextBoundary) {
    auto chip = std::make_shared<NP1ProbeChip>();
    constexpr uint64_t SERIAL = 18005106831ULL;
    NP1ProbeSource late(chip, SERIAL), on_time(chip, SERIAL);
    const auto from_7 = run(7, 29, [&](std::vector<uint8_t>& out) { late.append_tick(1, out); });
    const auto from_12 = run(12, 24, [&](std::vector<uint8_t>& out) { on_time.append_tick(1, out); });
    ASSERT_FALSE(from_12.empty());
    EXPECT_EQ(from_7.size(), from_12.size()) << "ticks 7 to 11 send nothing";
    EXPECT_EQ(from_7, from_12);
}

TEST(SimCachedStream, Np1ProbeSendsTheWordsItsSignalsEncodeTo) {
    auto chip = std::make_shared<NP1ProbeChip>();
    const auto pass = [&chip](uint8_t chain, std::vector<uint8_t> image) {
        for (auto& b : image) {  // the wire sends each byte MSB first
            uint8_t r = 0;
            for (int i = 0; i < 8; ++i) r |= static_cast<uint8_t>(((b >> i) & 1) << (7 - i));
            b = r;
        }
        const auto size = image.size();
        ASSERT_TRUE(chip->write(NP1ProbeChip::LENGTH_HIGH, std::vector<uint8_t>{static_cast<uint8_t>(size >> 8)}));
        ASSERT_TRUE(chip->write(NP1ProbeChip::LENGTH_LOW, std::vector<uint8_t>{static_cast<uint8_t>(size)}));
        ASSERT_TRUE(chip->write(chain, image));
    };
    pass(NP1ProbeChip::CHAIN_SHANK, std::vector<uint8_t>(np1::SHANK_BYTES, 0xFF));  // channel c -> electrode c

    constexpr uint64_t SERIAL = 18005106831ULL;
    NP1ProbeSource source(chip, SERIAL);
    // The reference: the stream's rule (np1_source.h) over the sample functions.
    uint64_t tick = 0;
    std::array<uint8_t, 16> counters{};
    NP1Encoder reference(
        0, NP1Samples{.ap =
                          [&](uint64_t, int c) -> uint16_t {
                              const auto map = chip->channel_map();
                              const int e = map->electrode[static_cast<std::size_t>(c)];
                              return e < 0 || map->standby[static_cast<std::size_t>(c)] ? NP1_FLAT_CODE
                                                                                        : np1_ap_code(SERIAL, e, tick);
                          },
                      .lfp = [&](uint64_t, int c) -> uint16_t {
                          const auto map = chip->channel_map();
                          const int e = map->electrode[static_cast<std::size_t>(c)];
                          const uint64_t first_tick = tick - (reference.frame_index() / 13) % 12;
                          return e < 0 || map->standby[static_cast<std::size_t>(c)]
                                     ? NP1_FLAT_CODE
                                     : np1_lfp_code(SERIAL, e, first_tick / 12);
                      }});
    const auto check = [&](uint64_t first, std::size_t ticks) {
        const auto got = run(first, ticks, [&](std::vector<uint8_t>& out) { source.append_tick(1, out); });
        const auto want = run(first, ticks, [&](std::vector<uint8_t>& out) {
            tick = latest_timestamp(out);
            const std::size_t before = out.size();
            reference.append_groups(out, 1);
            for (std::size_t at = before; at < out.size(); at += STREAM_WORD_BYTES) {
                out[at] = 0xD1;
                out[at + 1] = counters[1]++;
            }
        });
        ASSERT_GE(got.size(), ticks * 50 * STREAM_WORD_BYTES);
        ASSERT_EQ(got, want) << "run from tick " << first;
    };
    check(0, 30);
    check(PERIOD, 30);     // from the cache, LFP superframes placed as before
    check(PERIOD + 7, 5);  // a restart off the superframe grid
    {
        SCOPED_TRACE("a new selection shows at once");
        std::vector<uint8_t> shank(np1::SHANK_BYTES, 0);
        shank[(485 + 50) / 8] |= static_cast<uint8_t>(1 << ((485 + 50) % 8));  // electrode 100
        pass(NP1ProbeChip::CHAIN_SHANK, shank);
        ASSERT_EQ(chip->channel_map()->electrode[100], 100);
        check(2 * PERIOD, 30);
    }
    {
        SCOPED_TRACE("dropped frames: the group is finished from samples, then the cache again");
        source.drop_frames(3);
        // The reference drops the same frames.
        reference.skip_frames(3);
        check(2 * PERIOD + 30, 4);
    }
}

TEST(SimCachedStream, SignalsRepeatAfterThePeriodAndLookLikeData) {
    constexpr int ELECTRODES = 16;
    // NP1 AP codes more than 50 µV (5 x the noise RMS) from rest: spikes.
    // The sixteen sites around one of the probe's units.
    const int from = std::clamp(NeuralSignal::of(SignalLayout::np1, 5).units().front().electrode - ELECTRODES / 2, 0,
                                NeuralSignal::NP1_ELECTRODES - ELECTRODES);
    int np1_far = 0;
    for (int e = from; e < from + ELECTRODES; ++e) {
        for (uint64_t t = 0; t < PERIOD; ++t) {
            const uint16_t ap = np1_ap_code(5, e, t);
            ASSERT_EQ(ap, np1_ap_code(5, e, t + 3 * PERIOD));
            const auto electrode = static_cast<uint16_t>(e);
            ASSERT_EQ(np2_electrode_signal(5, 2, electrode, t), np2_electrode_signal(5, 2, electrode, t + 5 * PERIOD));
            np1_far += std::abs(int{ap} - int{NP1_FLAT_CODE}) * NP1_AP_UV_PER_CODE > 50.0;
        }
    }
    // Sparse: spikes cover a few per cent of a period at most, never none
    // around a unit.
    EXPECT_GT(np1_far, 0);
    EXPECT_LT(np1_far, ELECTRODES * static_cast<int>(PERIOD) / 50);
}

}  // namespace
}  // namespace pelionp::sim
