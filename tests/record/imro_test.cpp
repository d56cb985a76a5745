#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "tests/support/temp_dir.h"
#include "record/imro/geometry.h"
#include "record/imro/imro.h"

namespace pelionp::record::imro {
namespace {

// A full table of one kind with `entry(c)` as channel c's fields.
template <class F>
std::string table(int type, F entry) {
  std::string t = fmt::format("({},384)", type);
  for (int c = 0; c < 384; ++c) t += "(" + entry(c) + ")";
  return t;
}

std::string np1_entry(int c) { return fmt::format("{} 0 0 500 250 1", c); }
std::string np21_entry(int c) { return fmt::format("{} 1 0 {}", c, c); }
std::string np24_entry(int c) { return fmt::format("{} 0 0 0 {}", c, *np2_four_shank_electrode(c, 0, 0)); }

// `table` with channel `channel`'s entry replaced.
template <class F>
std::string with_entry(int type, F entry, int channel, const std::string& replacement) {
  return table(type, [&](int c) { return c == channel ? replacement : entry(c); });
}

std::string error_of(const std::string& text, ProbeKind kind) {
  auto r = parse_configuration(text, kind);
  EXPECT_FALSE(r) << "accepted: " << text.substr(0, 60);
  return r ? std::string() : r.error();
}

TEST(ImroGeometry, ElectrodeMapsReachTheDocumentedElectrodes) {
  EXPECT_EQ(np2_single_shank_electrode(37, 0), 37);
  EXPECT_EQ(np2_single_shank_electrode(1, 1), 393);
  EXPECT_EQ(np2_single_shank_electrode(4, 1), 412);
  EXPECT_EQ(np2_single_shank_electrode(127, 3), 1251);
  EXPECT_EQ(np2_single_shank_electrode(128, 3), std::nullopt);
  EXPECT_EQ(np2_four_shank_electrode(50, 1, 0), 2);
  EXPECT_EQ(np2_four_shank_electrode(0, 0, 2), 768);
  EXPECT_EQ(np2_four_shank_electrode(0, 0, 3), 1152);
  EXPECT_EQ(np2_four_shank_electrode(100, 3, 3), std::nullopt);
  EXPECT_EQ(np1_electrode(100, 2), 868);
  EXPECT_EQ(np1_electrode(200, 2), std::nullopt);
  EXPECT_EQ(np1_electrode(384, 0), std::nullopt);
}

TEST(ImroGeometry, EveryBankReachesEachElectrodeOfTheShankAtMostOnce) {
  for (int bank = 0; bank < 4; ++bank) {
    std::set<int> single;
    for (int c = 0; c < 384; ++c) {
      if (auto e = np2_single_shank_electrode(c, bank)) {
        EXPECT_TRUE(single.insert(*e).second) << c << " " << bank;
        EXPECT_EQ(*e / 32, (384 * bank + c) / 32) << "stays in its block of 32";
      }
    }
    EXPECT_EQ(single.size(), bank < 3 ? 384u : 128u);
    for (int shank = 0; shank < 4; ++shank) {
      std::set<int> four;
      for (int c = 0; c < 384; ++c) {
        if (auto e = np2_four_shank_electrode(c, shank, bank)) {
          EXPECT_TRUE(four.insert(*e).second);
        }
      }
      if (bank < 3) {
        EXPECT_EQ(four.size(), 384u);
      }
    }
  }
}

TEST(Imro, Np1EntriesBecomeBanksReferencesGainCodesAndHighPass) {
  auto text = table(0, [](int c) {
    if (c == 5) return std::string("5 2 3 3000 125 0");
    if (c == 300) return std::string("300 1 1 50 2000 1");
    if (c == 9) return std::string("9 0 3 500 250 1");
    return np1_entry(c);
  });
  auto r = parse_configuration(text, ProbeKind::np1);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->internal_reference_bank, 1);
  const auto& five = r->channels[5];
  EXPECT_EQ(five.bank_mask, 0b100);
  EXPECT_EQ(five.reference, Reference::internal);
  EXPECT_EQ(five.ap_gain_code, 7);
  EXPECT_EQ(five.lf_gain_code, 1);
  EXPECT_FALSE(five.ap_highpass);
  EXPECT_EQ(electrode_of(ProbeKind::np1, 5, five), 773);
  const auto& three_hundred = r->channels[300];
  EXPECT_EQ(three_hundred.bank_mask, 0b10);
  EXPECT_EQ(three_hundred.reference, Reference::tip);
  EXPECT_EQ(three_hundred.ap_gain_code, 0);
  EXPECT_EQ(three_hundred.lf_gain_code, 6);
  EXPECT_EQ(r->channels[0].ap_gain_code, 3);
  EXPECT_EQ(r->channels[0].lf_gain_code, 2);
  EXPECT_EQ(format(*r), text);
}

TEST(Imro, FormatAndParseRoundTripEveryKind) {
  for (auto kind : {ProbeKind::np1, ProbeKind::np2_single_shank, ProbeKind::np2_four_shank}) {
    auto configuration = default_configuration(kind);
    configuration.channels[10].bank_mask = kind == ProbeKind::np1 ? 0b10 : 0b100;
    if (kind == ProbeKind::np2_single_shank) configuration.channels[11].bank_mask = 0b1011;
    if (kind == ProbeKind::np2_four_shank) {
      for (auto& ch : configuration.channels) ch.shank = 2, ch.reference_shank = 2, ch.reference = Reference::on_shank;
      configuration.channels[12].reference = Reference::on_shank;
    }
    const auto text = format(configuration);
    auto parsed = parse_configuration(text, kind);
    ASSERT_TRUE(parsed) << display_name(kind) << ": " << parsed.error();
    EXPECT_EQ(*parsed, configuration) << display_name(kind);
  }
}

TEST(Imro, Np2TablesMapBankMasksShanksAndReferenceShanks) {
  auto single = parse_configuration(table(21, [](int c) {
                                      if (c == 1) return std::string("1 3 0 1");  // banks 0 and 1
                                      return np21_entry(c);
                                    }),
                                    ProbeKind::np2_single_shank);
  ASSERT_TRUE(single) << single.error();
  EXPECT_EQ(single->channels[1].bank_mask, 3);
  EXPECT_EQ(lowest_bank(single->channels[1]), 0);

  // Every channel on shank 3, referenced to the tip of shank 2.
  auto four = parse_configuration(
      table(24, [](int c) { return fmt::format("{} 3 1 3 {}", c, *np2_four_shank_electrode(c, 3, 1)); }),
      ProbeKind::np2_four_shank);
  ASSERT_TRUE(four) << four.error();
  EXPECT_EQ(four->channels[100].shank, 3);
  EXPECT_EQ(four->channels[100].bank_mask, 0b10);
  EXPECT_EQ(four->channels[100].reference, Reference::tip);
  EXPECT_EQ(four->channels[100].reference_shank, 2);

  // 5 + 4 x shank + bank: the on-shank reference of shank 1, bank 2.
  auto local = parse_configuration(
      table(24, [](int c) { return fmt::format("{} 1 0 11 {}", c, *np2_four_shank_electrode(c, 1, 0)); }),
      ProbeKind::np2_four_shank);
  ASSERT_TRUE(local) << local.error();
  EXPECT_EQ(local->channels[0].reference, Reference::on_shank);
  EXPECT_EQ(local->channels[0].reference_shank, 1);
  EXPECT_EQ(local->channels[0].reference_bank, 2);
  EXPECT_TRUE(format(*local).starts_with(fmt::format("(24,384)(0 1 0 11 {})", *np2_four_shank_electrode(0, 1, 0))))
      << "written back as read, not as 5 + shank";
}

// Each layout of the field, with its reference ids, and what it becomes: the
// configuration, and the table the files write (the type of imDatPrb_type).
struct LayoutCase {
  const char* name;
  ProbeKind kind;
  const char* part_number;
  std::string table;
  Reference reference;
  int reference_shank;
  int reference_bank;
  std::string written_prefix;  // format() of the result
};

TEST(Imro, EveryLayoutReadsItsReferencesAndIsWrittenInTheFilesVocabulary) {
  auto four_entry = [](int shank, int refid) {
    return [=](int c) { return fmt::format("{} {} 0 {} {}", c, shank, refid, *np2_four_shank_electrode(c, shank, 0)); };
  };
  auto single_entry = [](int refid) { return [=](int c) { return fmt::format("{} 1 {} {}", c, refid, c); }; };
  const std::string e0_shank2 = std::to_string(*np2_four_shank_electrode(0, 2, 0));
  const std::vector<LayoutCase> cases{
      {"type 0, internal bank 1", ProbeKind::np1, "PRB_1_4_0480_1",
       table(0, [](int c) { return fmt::format("{} 0 3 500 250 1", c); }), Reference::internal, 0, 0,
       "(0,384)(0 0 3 500 250 1)"},
      {"type 21, tip", ProbeKind::np2_single_shank, "NP2000", table(21, single_entry(1)), Reference::tip, 0, 0,
       "(21,384)(0 1 1 0)"},
      {"type 21, on-shank bank 2", ProbeKind::np2_single_shank, "NP2000", table(21, single_entry(4)),
       Reference::on_shank, 0, 2, "(21,384)(0 1 4 0)"},
      {"type 2003, tip", ProbeKind::np2_single_shank, "NP2003", table(2003, single_entry(2)), Reference::tip, 0, 0,
       "(21,384)(0 1 1 0)"},
      {"type 2003, external", ProbeKind::np2_single_shank, "NP2004", table(2003, single_entry(0)),
       Reference::external, 0, 0, "(21,384)(0 1 0 0)"},
      {"part number NP2003", ProbeKind::np2_single_shank, "NP2003",
       "(NP2003,384)" + table(2003, single_entry(2)).substr(10), Reference::tip, 0, 0, "(21,384)(0 1 1 0)"},
      {"type 24, tip of shank 3", ProbeKind::np2_four_shank, "NP2010", table(24, four_entry(2, 4)), Reference::tip, 3,
       0, "(24,384)(0 2 0 4 " + e0_shank2 + ")"},
      {"type 24, on-shank shank 3 bank 3", ProbeKind::np2_four_shank, "NP2010", table(24, four_entry(2, 20)),
       Reference::on_shank, 3, 3, "(24,384)(0 2 0 20 " + e0_shank2 + ")"},
      {"type 2013, tip of shank 2", ProbeKind::np2_four_shank, "NP2014", table(2013, four_entry(2, 4)),
       Reference::tip, 2, 0, "(24,384)(0 2 0 3 " + e0_shank2 + ")"},
      {"part number NP2014", ProbeKind::np2_four_shank, "NP2014",
       "(NP2014,384)" + table(2013, four_entry(2, 0)).substr(10), Reference::external, 2, 0,
       "(24,384)(0 2 0 0 " + e0_shank2 + ")"},
  };
  for (const auto& t : cases) {
    auto r = parse_configuration(t.table, t.kind, t.part_number);
    ASSERT_TRUE(r) << t.name << ": " << r.error();
    const auto& channel = r->channels[0];
    EXPECT_EQ(channel.reference, t.reference) << t.name;
    if (t.kind == ProbeKind::np1) {
      EXPECT_EQ(r->internal_reference_bank, 1) << t.name;
    } else {
      EXPECT_EQ(channel.reference_shank, t.reference_shank) << t.name;
      EXPECT_EQ(channel.reference_bank, t.reference_bank) << t.name;
    }
    const auto written = format(*r);
    EXPECT_TRUE(written.starts_with(t.written_prefix)) << t.name << ": " << written.substr(0, 40);
    // What the files write reads back to the same configuration.
    auto again = parse_configuration(written, t.kind, t.part_number);
    ASSERT_TRUE(again) << t.name << ": " << again.error();
    EXPECT_EQ(*again, *r) << t.name;
  }
}

TEST(Imro, TablesOfAnotherTypeOrReferenceAreRefusedNamingEntryAndField) {
  auto single_entry = [](int refid) { return [=](int c) { return fmt::format("{} 1 {} {}", c, refid, c); }; };
  struct Refusal {
    std::string table;
    ProbeKind kind;
    const char* part_number;
    std::string message;
  };
  const std::vector<Refusal> refusals{
      {table(2013, [](int c) { return np24_entry(c); }), ProbeKind::np2_four_shank, "NP2010",
       "IMRO table type 2013 does not fit an NP2010 probe (type 24 does)"},
      {table(2003, single_entry(0)), ProbeKind::np2_single_shank, "NP2000",
       "IMRO table type 2003 does not fit an NP2000 probe (type 21 does)"},
      {"(NP2014,384)" + table(2013, np24_entry).substr(10), ProbeKind::np2_single_shank, "NP2003",
       "IMRO table of NP2014 (type 2013) does not fit an NP2003 probe (types 2003 and 21 do)"},
      {table(24, np24_entry), ProbeKind::np2_four_shank, "NP2014", ""},  // the kind's own type: accepted
      {with_entry(2003, single_entry(0), 6, "6 1 1 6"), ProbeKind::np2_single_shank, "NP2003",
       "IMRO entry 6 (6 1 1 6): ref_id 1 (ground) is not a reference these probes can select"},
      {with_entry(2003, single_entry(0), 6, "6 1 3 6"), ProbeKind::np2_single_shank, "NP2003",
       "IMRO entry 6 (6 1 3 6): ref_id 3 is outside 0..2"},
      {with_entry(21, single_entry(0), 6, "6 1 5 6"), ProbeKind::np2_single_shank, "NP2000",
       "IMRO entry 6 (6 1 5 6): ref_id 5 is outside 0..4"},
      {with_entry(2003, single_entry(0), 6, "6 1 0 1280"), ProbeKind::np2_single_shank, "NP2003",
       "IMRO entry 6 (6 1 0 1280): electrode 1280 is outside 0..1279"},
      {with_entry(2003, single_entry(0), 6, "384 1 0 6"), ProbeKind::np2_single_shank, "NP2003",
       "IMRO entry 6 (384 1 0 6): channel 384 is outside 0..383"},
      {"(2013,384)" + table(24, [](int c) { return fmt::format("{} 0 0 {} {}", c, c == 9 ? 1 : 0, *np2_four_shank_electrode(c, 0, 0)); }).substr(8),
       ProbeKind::np2_four_shank, "NP2014", "IMRO entry 9 (9 0 0 1 9): ref_id 1 (ground) is not a reference these probes can select"},
      {"(2013,384)" + table(24, [](int c) { return fmt::format("{} 0 0 {} {}", c, c == 9 ? 6 : 0, *np2_four_shank_electrode(c, 0, 0)); }).substr(8),
       ProbeKind::np2_four_shank, "NP2014", "IMRO entry 9 (9 0 0 6 9): ref_id 6 is outside 0..5"},
  };
  for (const auto& r : refusals) {
    auto parsed = parse_configuration(r.table, r.kind, r.part_number);
    if (r.message.empty()) {
      EXPECT_TRUE(parsed) << r.table.substr(0, 30) << ": " << parsed.error();
      continue;
    }
    ASSERT_FALSE(parsed) << "accepted: " << r.table.substr(0, 60);
    EXPECT_EQ(parsed.error(), r.message);
  }
  EXPECT_EQ(parse("(NP9999,384)").error(),
            "IMRO table header (NP9999,384): 'NP9999' is neither a table type nor a known part number");
  EXPECT_EQ(table_type("NP2004"), 2003);
  EXPECT_EQ(table_type("PRB2_4_2_0640_0"), 24);
}

TEST(Imro, SyntaxErrorsNameWhatIsWrong) {
  EXPECT_EQ(parse("").error(), "IMRO table is empty");
  EXPECT_EQ(parse("(0,384").error(), "IMRO table: missing ')' at the end");
  EXPECT_EQ(parse("(1020,384)").error(), "IMRO table type 1020 is not supported (0, 21, 24, 2003 and 2013 are)");
  EXPECT_EQ(parse("(0 384)").error(), "IMRO table header (0 384): unexpected '3'");
  EXPECT_EQ(parse("(0,2)(0 0 0 500 250 1)(1 0 x 500 250 1)").error(), "IMRO entry 1 (1 0 x 500 250 1): 'x' is not an integer");
  EXPECT_EQ(parse("(21,1)(0 1 0)").error(), "IMRO entry 0 (0 1 0): type 21 entries have 4 fields");
  EXPECT_EQ(parse("(21,2)(0 1 0 0)").error(), "IMRO table declares 2 channels but holds 1 entries");
  EXPECT_EQ(parse("(21,1)(0 1 0 0) junk").error(), "IMRO table: expected '(' at 'junk'");
  // Line ends and blanks around entries are fine.
  EXPECT_TRUE(parse("(21,1)\r\n( 0 1 0 0 )\n"));
}

TEST(Imro, TablesThatDoNotFitTheProbeNameTheEntry) {
  EXPECT_EQ(error_of(table(21, np21_entry), ProbeKind::np2_four_shank),
            "IMRO table type 21 does not fit an NP2 four-shank probe (types 24 and 2013 do)");
  EXPECT_EQ(error_of("(0,1)(0 0 0 500 250 1)", ProbeKind::np1), "IMRO table holds 1 entries, the probe has 384 channels");
  EXPECT_EQ(error_of(with_entry(0, np1_entry, 200, "200 2 0 500 250 1"), ProbeKind::np1),
            "IMRO entry 200 (200 2 0 500 250 1): bank: bank 2 has no electrode for channel 200");
  EXPECT_EQ(error_of(with_entry(0, np1_entry, 3, "3 0 0 600 250 1"), ProbeKind::np1),
            "IMRO entry 3 (3 0 0 600 250 1): ap_gain 600 is not one of 50, 125, 250, 500, 1000, 1500, 2000, 3000");
  EXPECT_EQ(error_of(with_entry(0, np1_entry, 3, "3 0 0 500 250 2"), ProbeKind::np1),
            "IMRO entry 3 (3 0 0 500 250 2): ap_hipas_flt 2 is not 0 or 1");
  EXPECT_EQ(error_of(with_entry(0, np1_entry, 3, "3 0 5 500 250 1"), ProbeKind::np1),
            "IMRO entry 3 (3 0 5 500 250 1): ref_id 5 is outside 0..4");
  EXPECT_EQ(error_of(with_entry(0, np1_entry, 3, "2 0 0 500 250 1"), ProbeKind::np1),
            "IMRO entry 3 (2 0 0 500 250 1): channel 2 was already set by entry 2");
  EXPECT_EQ(error_of(table(0, [](int c) { return fmt::format("{} 0 {} 500 250 1", c, c < 10 ? 2 : 4); }), ProbeKind::np1),
            "IMRO entry 10 (10 0 4 500 250 1): ref_id: internal reference of bank 2 conflicts with bank 0 chosen by entry 0");
  EXPECT_EQ(error_of(with_entry(21, np21_entry, 128, "128 8 0 1280"), ProbeKind::np2_single_shank),
            "IMRO entry 128 (128 8 0 1280): bank_mask: bank 3 has no electrode for channel 128");
  EXPECT_EQ(error_of(with_entry(21, np21_entry, 1, "1 2 0 1"), ProbeKind::np2_single_shank),
            "IMRO entry 1 (1 2 0 1): electrode 1 is not the electrode this channel reaches (393)");
  EXPECT_EQ(error_of(with_entry(21, np21_entry, 1, "1 0 0 1"), ProbeKind::np2_single_shank),
            "IMRO entry 1 (1 0 0 1): bank_mask 0 does not select banks among 0..3");
  EXPECT_EQ(error_of(with_entry(21, np21_entry, 9, "9 1 1 9"), ProbeKind::np2_single_shank),
            "IMRO entry 9 (9 1 1 9): ref_id: the reference switch of shank 0 was set otherwise by entry 0");
  EXPECT_EQ(error_of(with_entry(24, np24_entry, 4, "4 4 0 0 4"), ProbeKind::np2_four_shank),
            "IMRO entry 4 (4 4 0 0 4): shank 4 is outside 0..3");
  EXPECT_EQ(error_of(with_entry(24, np24_entry, 4, "4 0 0 21 4"), ProbeKind::np2_four_shank),
            "IMRO entry 4 (4 0 0 21 4): ref_id 21 is outside 0..20");
  // Two channels reading shank 0, one referenced externally, one to shank 0's tip.
  EXPECT_EQ(error_of(with_entry(24, np24_entry, 4, "4 0 0 1 4"), ProbeKind::np2_four_shank),
            "IMRO entry 4 (4 0 0 1 4): ref_id: the reference switch of shank 0 was set otherwise by entry 0");
}

TEST(Imro, ReadConfigurationPrefixesTheFile) {
  test::TempDir dir;
  const auto path = dir.path() / "probe.imro";
  std::ofstream(path) << with_entry(0, np1_entry, 7, "7 0 0 500 251 1") << "\n";
  auto r = read_configuration(path, ProbeKind::np1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), path.string() +
                           ": IMRO entry 7 (7 0 0 500 251 1): lf_gain 251 is not one of 50, 125, 250, 500, 1000, "
                           "1500, 2000, 3000");
  EXPECT_EQ(read_configuration(dir.path() / "none.imro", ProbeKind::np1).error(),
            "Cannot open IMRO file " + (dir.path() / "none.imro").string());
}

}  // namespace
}  // namespace pelionp::record::imro
