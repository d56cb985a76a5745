// Assembling a simulated board from port contents, and the NP2 probe's
// stream source framing (its samples are checked end to end through the
// library in tests/probes/np2).
#include <set>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "sim/headstages/np_headstages.h"
#include "sim/probes/np2_source.h"
#include "sim/rig.h"

namespace {

using namespace pelionp::sim;

TEST(SimRig, PlugsWhatEachPortHolds) {
    RigContents contents;
    contents.ports[0] = NP1PortContents{};
    contents.ports[1] = NP2PortContents{.docks = {NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt}, std::nullopt}};
    contents.ports[3] = NP2PortContents{.docks = {std::nullopt, NP2DockContents{.probe_pn = "NP2014", .serial = 5}}};
    const Rig rig = make_rig(contents);

    for (int p = 0; p < Board::PORT_COUNT; ++p) EXPECT_EQ(rig.board->headstage(p), rig.ports[p].headstage) << p;
    EXPECT_EQ(rig.ports[2].headstage, nullptr);

    const auto& np1 = rig.ports[0];
    ASSERT_TRUE(np1.np1);
    EXPECT_FALSE(np1.headstage->dock_routing());
    EXPECT_EQ(np1.np1->identity.serial, default_np1_serial(0));
    EXPECT_EQ(np1.headstage->stream_source(0), np1.np1->source);

    const auto& single = rig.ports[1];
    ASSERT_TRUE(single.np2[0]);
    EXPECT_FALSE(single.np2[1]);
    EXPECT_EQ(single.np2[0]->probe->identity().serial, default_np2_serial(1, 0));
    EXPECT_EQ(single.np2[0]->probe->chip().shank_count(), 1U);
    EXPECT_EQ(single.headstage->stream_source(0), single.np2[0]->source);
    EXPECT_EQ(single.headstage->stream_source(1), nullptr) << "an empty dock streams nothing";
    EXPECT_NE(single.headstage->dock(0).find(0x20), nullptr);
    EXPECT_EQ(single.headstage->dock(1).find(0x20), nullptr);

    const auto& four = rig.ports[3];
    ASSERT_TRUE(four.np2[1]);
    EXPECT_EQ(four.np2[1]->probe->identity().serial, 5U);
    EXPECT_EQ(four.np2[1]->probe->chip().shank_count(), 4U);
    EXPECT_EQ(four.headstage->stream_source(1), four.np2[1]->source);
    EXPECT_EQ(four.headstage->stream_source(0), nullptr);

    // Replugging an empty description empties the board.
    plug_rig(*rig.board, RigContents{});
    for (int p = 0; p < Board::PORT_COUNT; ++p) EXPECT_EQ(rig.board->headstage(p), nullptr) << p;
}

TEST(SimRig, DefaultSerialsAreDistinctAndPortsChecked) {
    std::set<uint64_t> serials;
    for (int p = 0; p < Board::PORT_COUNT; ++p) {
        serials.insert(default_np1_serial(p));
        for (int d = 0; d < NP2_DOCK_COUNT; ++d) serials.insert(default_np2_serial(p, d));
    }
    EXPECT_EQ(serials.size(), 12U);
    EXPECT_THROW((void)default_np1_serial(4), std::invalid_argument);
    EXPECT_THROW((void)default_np2_serial(0, 2), std::invalid_argument);
}

TEST(SimNp2Source, AttachRefusesHeadstagesWithoutThatDock) {
    auto np1 = make_np1_headstage();
    EXPECT_THROW(attach_np2_probe(*np1, 0, {.serial = 1, .version_major = 0, .version_minor = 0, .flex_pn = {}, .probe_pn = "NP2003"}),
                 std::invalid_argument);
    auto np2 = make_np2_headstage();
    EXPECT_THROW(attach_np2_probe(*np2, 2, {.serial = 1, .version_major = 0, .version_minor = 0, .flex_pn = {}, .probe_pn = "NP2003"}),
                 std::invalid_argument);
}

TEST(SimNp2Source, OneSuperframePerTickOnTheAskedSid) {
    auto headstage = make_np2_headstage();
    const auto sim = attach_np2_probe(*headstage, 1, {.serial = 9, .version_major = 0, .version_minor = 0, .flex_pn = {}, .probe_pn = "NP2013"});
    std::vector<uint8_t> out;
    TimestampEncoder timestamps(100);
    const auto words_of = [&](std::size_t from) {
        std::vector<std::pair<uint8_t, uint8_t>> words;  // (byte 0, row counter)
        for (std::size_t at = from; at < out.size(); at += STREAM_WORD_BYTES) words.emplace_back(out[at], out[at + 1]);
        return words;
    };

    for (int tick = 0; tick < 2; ++tick) {
        timestamps.append(out);
        const std::size_t from = out.size();
        sim.source->append_tick(13, out);
        const auto words = words_of(from);
        ASSERT_EQ(words.size(), 48U);
        for (std::size_t w = 0; w < words.size(); ++w) {
            EXPECT_EQ(words[w].first, 0xDD) << w;
            EXPECT_EQ(words[w].second, static_cast<uint8_t>(48 * tick + static_cast<int>(w))) << w;
        }
        const uint8_t* header = &out[from + 2];
        EXPECT_EQ(header[0] >> 4, 1) << "subrow 1 first";
        EXPECT_EQ(header[0] & 1, 1) << "superframe start";
        EXPECT_EQ(header[1], 0x66);
        EXPECT_EQ(header[2], 0x99);
    }
    // Moved to another port: a fresh stream there.
    timestamps.append(out);
    const std::size_t from = out.size();
    sim.source->append_tick(15, out);
    const auto words = words_of(from);
    ASSERT_EQ(words.size(), 48U);
    EXPECT_EQ(words.front(), (std::pair<uint8_t, uint8_t>{0xDF, 0}));
}

}  // namespace
