// IMRO tables through the simulated board: a table of each layout is read
// for the probe it names, uploaded by a Run, decoded back from what the
// probe's chains received, and written as the files write it.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <string>

#include "record/imro/geometry.h"
#include "record/imro/imro.h"
#include "record/session/run.h"
#include "record/session/session.h"
#include "sim/rig.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"

namespace pelionp::record {
namespace {

using imro::Reference;

sim::Rig default_rig() {
  sim::RigContents contents;
  contents.ports[0] = sim::NP1PortContents{};
  contents.ports[1] = sim::NP2PortContents{.docks = {sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                                                     sim::NP2DockContents{.probe_pn = "NP2014", .serial = std::nullopt}}};
  return sim::make_rig(contents, {.paced = false});
}

// NP1 (type 0): banks 0..2 where the channel has them, the internal
// reference of bank 1 on every third channel, tip on the next, gains and
// the high-pass varying.
std::string np1_table() {
  std::string t = "(0,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int bank = imro::np1_electrode(c, c % 3) ? c % 3 : 0;
    const int refid = c % 3 == 0 ? 3 : c % 3 == 1 ? 1 : 0;
    t += fmt::format("({} {} {} {} {} {})", c, bank, refid, imro::NP1_GAINS[c % 8], imro::NP1_GAINS[(c + 3) % 8],
                     c % 2);
  }
  return t;
}

// NP2003 by part number (type 2003 layout): two banks on some channels, the tip reference.
std::string np2003_table() {
  std::string t = "(NP2003,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int mask = c % 5 == 0 && imro::np2_single_shank_electrode(c, 1) ? 0b11 : c < 128 ? 0b1000 : 0b1;
    const int bank = std::countr_zero(static_cast<unsigned>(mask));
    t += fmt::format("({} {} 2 {})", c, mask, *imro::np2_single_shank_electrode(c, bank));
  }
  return t;
}

// NP2014 (type 2013): channel c on shank c % 4, bank (c / 4) % 2; shank 0
// external, shanks 1 and 3 their own tip, shank 2 the tip of shank 2 too.
std::string np2014_table() {
  std::string t = "(2013,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int shank = c % 4;
    const int bank = (c / 4) % 2;
    const int refid = shank == 0 ? 0 : 2 + shank;
    t += fmt::format("({} {} {} {} {})", c, shank, bank, refid, *imro::np2_four_shank_electrode(c, shank, bank));
  }
  return t;
}

// The file's vocabulary of the same tables (what ~imroTbl must say).
std::string np2003_written() {
  std::string t = "(21,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int mask = c % 5 == 0 && imro::np2_single_shank_electrode(c, 1) ? 0b11 : c < 128 ? 0b1000 : 0b1;
    const int bank = std::countr_zero(static_cast<unsigned>(mask));
    t += fmt::format("({} {} 1 {})", c, mask, *imro::np2_single_shank_electrode(c, bank));
  }
  return t;
}
std::string np2014_written() {
  std::string t = "(24,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int shank = c % 4;
    const int bank = (c / 4) % 2;
    const int refid = shank == 0 ? 0 : 1 + shank;
    t += fmt::format("({} {} {} {} {})", c, shank, bank, refid, *imro::np2_four_shank_electrode(c, shank, bank));
  }
  return t;
}

// The NP1 table rebuilt from the chains the simulated probe received.
std::string np1_from_chip(const sim::NP1ProbeChip& chip, int table_bank_191) {
  const auto shank = chip.shank();
  const auto base = chip.base();
  EXPECT_TRUE(shank && base);
  if (!shank || !base) return {};
  int internal_bank = -1;
  for (int b = 0; b < 3; ++b)
    if (shank->internal_reference[static_cast<size_t>(b)]) internal_bank = b;
  std::string t = "(0,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto electrodes = shank->electrodes_of(c);
    // Channel 191 carries the reference line and selects no electrode.
    const int bank = c == imro::NP1_REFERENCE_CHANNEL ? table_bank_191 : electrodes.empty() ? -1 : electrodes.front() / 384;
    const auto& ch = base->channels[static_cast<size_t>(c)];
    int refid = -1;
    if (ch.reference == sim::NP1Reference::External) refid = 0;
    if (ch.reference == sim::NP1Reference::Tip) refid = 1;
    if (ch.reference == sim::NP1Reference::Internal) refid = 2 + internal_bank;
    t += fmt::format("({} {} {} {} {} {})", c, bank, refid, imro::NP1_GAINS[ch.ap_gain & 7],
                     imro::NP1_GAINS[ch.lfp_gain & 7], ch.ap_highpass ? 0 : 1);
  }
  return t;
}

// An NP2 table in the file's vocabulary rebuilt from the chip: banks from
// the shank chains, references from the base chains' codes and the shank
// switches (0 none, 1 tip, 2 external).
std::string np2_from_chip(const sim::NP2ProbeChip& chip, bool four_shank) {
  const auto channels = chip.channels();
  std::string t = four_shank ? "(24,384)" : "(21,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto code = channels[static_cast<size_t>(c)].reference;
    if (!four_shank) {
      const auto s = chip.shank(0);
      int mask = 0;
      for (int b = 0; b < 4; ++b)
        if (auto e = imro::np2_single_shank_electrode(c, b); e && s.electrodes[static_cast<size_t>(*e)]) mask |= 1 << b;
      const int bank = std::countr_zero(static_cast<unsigned>(mask));
      const int refid = code == 0 && s.switch_selector == 2 ? 0 : code == 1 && s.switch_selector == 1 ? 1 : -1;
      t += fmt::format("({} {} {} {})", c, mask, refid, imro::np2_single_shank_electrode(c, bank).value_or(-1));
      continue;
    }
    int shank = -1, bank = -1;
    for (int s = 0; s < 4; ++s)
      for (int b = 0; b < 4; ++b)
        if (auto e = imro::np2_four_shank_electrode(c, s, b); e && chip.shank(static_cast<size_t>(s)).electrodes[static_cast<size_t>(*e)])
          shank = s, bank = b;
    if (shank < 0) {
      t += fmt::format("(channel {} reaches no electrode)", c);
      continue;
    }
    int refid = -1;
    if (code == 0 && chip.shank(static_cast<size_t>(shank)).switch_selector == 2) refid = 0;
    // NB: the chip keeps no per-channel tip shank; the table refers each
    // channel to its own shank's tip.
    if (code == 1 && chip.shank(static_cast<size_t>(shank)).switch_selector == 1) refid = 1 + shank;
    t += fmt::format("({} {} {} {} {})", c, shank, bank, refid, imro::np2_four_shank_electrode(c, shank, bank).value_or(-1));
  }
  return t;
}

TEST(ImroOnTheBoard, EveryProbeKindUploadsItsTableAndTheFilesSayWhatItReceived) {
  test::TempDir dir;
  const auto rig = default_rig();
  auto session = Session::open(rig.board);
  ASSERT_TRUE(session) << session.error();
  ASSERT_TRUE((*session)->detect());
  ASSERT_EQ((*session)->probes().size(), 3u);
  std::ofstream(dir.path() / "np1.imro") << np1_table();
  std::ofstream(dir.path() / "np2003.imro") << np2003_table();
  std::ofstream(dir.path() / "np2014.imro") << np2014_table();
  const spikeglx::Layout layout{dir.path(), "tables"};
  {
    auto run = Run::create(**session, {.layout = layout,
                                       .imro_files = {{{0, 0}, dir.path() / "np1.imro"},
                                                      {{1, 0}, dir.path() / "np2003.imro"},
                                                      {{1, 1}, dir.path() / "np2014.imro"}}});
    ASSERT_TRUE(run) << run.error();
    ASSERT_TRUE((*run)->finish());
  }
  auto imro_of = [&](int n) {
    auto path = layout.stream_stem(n, spikeglx::Band::ap);
    path += ".meta";
    return test::read_meta(path).at("~imroTbl");
  };
  // NP1: what the chains hold is the table; the files write it unchanged.
  const auto np1 = np1_table();
  EXPECT_EQ(np1_from_chip(*rig.ports[0].np1->chip, 191 % 3), np1);
  EXPECT_EQ(imro_of(0), np1);
  // NP2003: read in its part number's layout, the chip holds it, the files say it in type 21.
  EXPECT_EQ(np2_from_chip(rig.ports[1].np2[0]->probe->chip(), false), np2003_written());
  EXPECT_EQ(imro_of(1), np2003_written());
  // NP2014: type 2013 read, type 24 written, each shank's switch as asked.
  const auto& four = rig.ports[1].np2[1]->probe->chip();
  EXPECT_EQ(four.shank(0).switch_selector, 2);
  for (size_t s = 1; s < 4; ++s) EXPECT_EQ(four.shank(s).switch_selector, 1) << "shank " << s;
  EXPECT_EQ(np2_from_chip(four, true), np2014_written());
  EXPECT_EQ(imro_of(2), np2014_written());
}

TEST(ImroOnTheBoard, ATableThatDoesNotFitItsProbeIsRefusedBeforeAnyProbeIsUploaded) {
  test::TempDir dir;
  const auto rig = default_rig();
  auto session = Session::open(rig.board);
  ASSERT_TRUE(session && (*session)->detect());
  // A four-shank table for the single-shank probe of dock 0 (the second probe).
  std::ofstream(dir.path() / "wrong.imro") << np2014_table();
  rig.ports[0].np1->chip->clear_writes();
  auto run = Run::create(**session, {.layout = {dir.path(), "wrong"}, .imro_files = {{{1, 0}, dir.path() / "wrong.imro"}}});
  ASSERT_FALSE(run);
  EXPECT_EQ(run.error().kind, RunErrorKind::configuration_refused) << run.error();
  EXPECT_NE(run.error().message.find("imec1 (NP2 single-shank port 1 dock 0"), std::string::npos) << run.error();
  EXPECT_NE(run.error().message.find("IMRO table type 2013 does not fit an NP2003 probe (types 2003 and 21 do)"),
            std::string::npos)
      << run.error();
  EXPECT_TRUE(rig.ports[0].np1->chip->writes().empty()) << "the NP1 probe before it was configured";
}

}  // namespace
}  // namespace pelionp::record
