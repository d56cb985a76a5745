// The geometry a recording states: `~snsGeomMap` in every .meta and the
// ProbeInterface descriptions beside the files, for every probe kind and
// for tables that spread channels over all shanks.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validator.hpp>

#include "record/imro/geometry.h"
#include "record/imro/imro.h"
#include "record/probeinterface/probe_interface.h"
#include "record/spikeglx/recording.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"

namespace pelionp::record::spikeglx {
namespace {

using nlohmann::json;
using test::read_file;
using test::read_meta;
using test::TempDir;

std::filesystem::path with_meta(std::filesystem::path stem) {
  stem += ".meta";
  return stem;
}

struct GeomEntry {
  int shank, x, z, used;
  friend bool operator==(const GeomEntry&, const GeomEntry&) = default;
};

struct GeomMap {
  std::string part_number;
  int shanks = 0, pitch = 0, width = 0;
  std::vector<GeomEntry> entries;
};

GeomMap parse_geom_map(const std::string& text) {
  GeomMap map;
  const std::regex header(R"(^\(([^,()]*),(\d+),(\d+),(\d+)\))");
  std::smatch m;
  EXPECT_TRUE(std::regex_search(text, m, header)) << text.substr(0, 60);
  if (m.empty()) return map;
  map.part_number = m[1];
  map.shanks = std::stoi(m[2]);
  map.pitch = std::stoi(m[3]);
  map.width = std::stoi(m[4]);
  const std::regex entry(R"(\((\d+):(\d+):(\d+):([01])\))");
  for (auto it = std::sregex_iterator(text.begin() + m.length(0), text.end(), entry); it != std::sregex_iterator(); ++it)
    map.entries.push_back({std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3]), std::stoi((*it)[4])});
  return map;
}

// Site of electrode e, from the probes' published geometry (not the code).
GeomEntry np1_site(int e, bool used = true) {
  const int row = e / 2;
  const int xs_even[] = {27, 59};
  const int xs_odd[] = {11, 43};
  return {0, row % 2 == 0 ? xs_even[e % 2] : xs_odd[e % 2], row * 20, used ? 1 : 0};
}
GeomEntry np2_site(int shank, int e) { return {shank, e % 2 == 0 ? 27 : 59, (e / 2) * 15, 1}; }

// A four-shank table reading channel c from shank c % 4, bank (c / 4) % 2:
// every shank gets 96 channels from two banks.
std::string spread_four_shank_table() {
  std::string table = "(24,384)";
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int shank = c % 4;
    const int bank = (c / 4) % 2;
    table += fmt::format("({} {} {} 0 {})", c, shank, bank, *imro::np2_four_shank_electrode(c, shank, bank));
  }
  return table;
}

struct Recorded {
  std::map<std::string, std::string> ap_meta;
  std::map<std::string, std::string> lf_meta;
  json probe_json;
};

Recorded record(const std::filesystem::path& root, const ProbeIdentity& identity,
                const imro::ProbeConfiguration& configuration) {
  const Layout layout{root, "geom"};
  Recorded out;
  auto r = ProbeRecording::create(layout, 0, identity, configuration);
  EXPECT_TRUE(r) << r.error();
  if (!r) return out;
  EXPECT_TRUE((*r)->close());
  out.ap_meta = read_meta(with_meta(layout.stream_stem(0, Band::ap)));
  if (identity.kind == ProbeKind::np1) out.lf_meta = read_meta(with_meta(layout.stream_stem(0, Band::lf)));
  out.probe_json = json::parse(read_file(layout.probe_description(0)));
  return out;
}

void expect_valid(const json& document) {
  const json schema_document = json::parse(read_file(std::filesystem::path(PELIONP_SOURCE_DIR) / "tests/data/probeinterface.schema.json"));
  valijson::Schema schema;
  valijson::SchemaParser parser;
  valijson::adapters::NlohmannJsonAdapter schema_adapter(schema_document);
  parser.populateSchema(schema_adapter, schema);
  valijson::Validator validator;
  valijson::ValidationResults results;
  valijson::adapters::NlohmannJsonAdapter target(document);
  const bool valid = validator.validate(schema, target, &results);
  std::string why;
  valijson::ValidationResults::Error error;
  while (results.popError(error)) {
    for (const auto& p : error.context) why += p;
    why += ": " + error.description + "\n";
  }
  EXPECT_TRUE(valid) << why;
  // What ProbeInterface's reader demands beyond the schema: per probe, one
  // entry per contact in every contact list and contact annotation, unique
  // positions and contact ids; across the probes of a file, unique device
  // channel indices (-1 aside).
  std::set<int> channels;
  for (const auto& probe : document["probes"]) {
    const auto n = probe["contact_positions"].size();
    for (const char* key : {"contact_plane_axes", "contact_shapes", "contact_shape_params", "contact_ids", "shank_ids",
                            "device_channel_indices"})
      if (probe.contains(key)) {
        EXPECT_EQ(probe[key].size(), n) << key;
      }
    for (const auto& [key, values] : probe["contact_annotations"].items()) EXPECT_EQ(values.size(), n) << key;
    std::set<std::string> positions, ids;
    for (const auto& p : probe["contact_positions"]) EXPECT_TRUE(positions.insert(p.dump()).second) << "position " << p;
    for (const auto& id : probe["contact_ids"]) EXPECT_TRUE(ids.insert(id.get<std::string>()).second) << "contact id " << id;
    for (const auto& c : probe["device_channel_indices"])
      if (c.get<int>() >= 0) {
        EXPECT_TRUE(channels.insert(c.get<int>()).second) << "device channel " << c << " twice";
      }
  }
}

// Every ProbeInterface contact sits where the .meta geometry map puts its
// channel (shank offset added), in .bin channel order, and nothing else is
// a contact.
void expect_agrees(const json& probe, const GeomMap& map, ProbeKind kind) {
  // The geometry map marks NP1 channel 191 unused (it records the reference
  // line); the ProbeInterface file places it on its electrode, annotated.
  std::vector<int> used_channels;
  for (int c = 0; c < static_cast<int>(map.entries.size()); ++c)
    if (map.entries[c].used || (kind == ProbeKind::np1 && c == 191)) used_channels.push_back(c);
  ASSERT_EQ(probe["device_channel_indices"].get<std::vector<int>>(), used_channels);
  const auto n = used_channels.size();
  for (const char* key : {"contact_positions", "contact_shapes", "contact_shape_params", "contact_ids", "shank_ids",
                          "contact_plane_axes"})
    ASSERT_EQ(probe[key].size(), n) << key;
  for (size_t i = 0; i < n; ++i) {
    const auto& e = map.entries[used_channels[i]];
    const int offset = kind == ProbeKind::np2_four_shank ? e.shank * 250 : 0;
    EXPECT_EQ(probe["contact_positions"][i], json::array({e.x + offset, e.z})) << "channel " << used_channels[i];
    EXPECT_EQ(probe["shank_ids"][i], std::to_string(e.shank));
    EXPECT_EQ(probe["contact_shapes"][i], "square");
    EXPECT_EQ(probe["contact_shape_params"][i], json({{"width", 12}}));
    // ADC and sample slot, from the probes' multiplexer tables.
    const int c = used_channels[i];
    const int block = kind == ProbeKind::np1 ? 24 : 32;
    EXPECT_EQ(probe["contact_annotations"]["adc_group"][i], 2 * (c / block) + c % 2) << "channel " << c;
    EXPECT_EQ(probe["contact_annotations"]["adc_sample_order"][i], (c % block) / 2) << "channel " << c;
    EXPECT_EQ(probe["contact_annotations"]["reference_line"][i], kind == ProbeKind::np1 && c == 191);
  }
  EXPECT_EQ(probe["annotations"]["num_adcs"], kind == ProbeKind::np1 ? 32 : 24);
  EXPECT_EQ(probe["annotations"]["num_channels_per_adc"], kind == ProbeKind::np1 ? 12 : 16);
}

TEST(GeometryMap, Np1DefaultTableFollowsTheStaggeredRows) {
  TempDir dir;
  const ProbeIdentity identity{ProbeKind::np1, "PRB_1_4_0480_1", 18194823012, "NP2_FLEX_0", "NP2_HS_30", 0, 0, 0};
  auto configuration = imro::default_configuration(ProbeKind::np1);
  // Channel 5 on bank 2 (electrode 773), channel 200 on bank 1 (electrode 584).
  configuration.channels[5].bank_mask = 0b100;
  configuration.channels[200].bank_mask = 0b010;
  const auto rec = record(dir.path(), identity, configuration);
  for (const auto* meta : {&rec.ap_meta, &rec.lf_meta}) {
    ASSERT_TRUE(meta->contains("~snsGeomMap"));
    const auto map = parse_geom_map(meta->at("~snsGeomMap"));
    EXPECT_EQ(map.part_number, "PRB_1_4_0480_1");
    EXPECT_EQ(map.shanks, 1);
    EXPECT_EQ(map.pitch, 0);
    EXPECT_EQ(map.width, 70);
    ASSERT_EQ(map.entries.size(), 384u);
    EXPECT_EQ(map.entries[0], (GeomEntry{0, 27, 0, 1}));
    EXPECT_EQ(map.entries[1], (GeomEntry{0, 59, 0, 1}));
    EXPECT_EQ(map.entries[2], (GeomEntry{0, 11, 20, 1}));
    EXPECT_EQ(map.entries[3], (GeomEntry{0, 43, 20, 1}));
    EXPECT_EQ(map.entries[5], np1_site(773));
    EXPECT_EQ(map.entries[200], np1_site(584));
    EXPECT_EQ(map.entries[191], np1_site(191, false)) << "channel 191 is the reference";
    for (int c : {4, 100, 383}) EXPECT_EQ(map.entries[c], np1_site(c));
  }
  EXPECT_TRUE(rec.ap_meta.at("~snsGeomMap").starts_with("(PRB_1_4_0480_1,1,0,70)(0:27:0:1)(0:59:0:1)(0:11:20:1)"));
  expect_valid(rec.probe_json);
  ASSERT_EQ(rec.probe_json["probes"].size(), 1u);
  const auto& probe = rec.probe_json["probes"][0];
  expect_agrees(probe, parse_geom_map(rec.ap_meta.at("~snsGeomMap")), ProbeKind::np1);
  EXPECT_EQ(probe["contact_ids"][0], "e0");
  EXPECT_EQ(probe["contact_ids"][5], "e773");
  EXPECT_EQ(probe["annotations"]["serial_number"], "18194823012");
  EXPECT_EQ(probe["annotations"]["part_number"], "PRB_1_4_0480_1");
  EXPECT_EQ(probe["ndim"], 2);
  EXPECT_EQ(probe["si_units"], "um");
  EXPECT_EQ(rec.probe_json["specification"], "probeinterface");
  EXPECT_TRUE(rec.probe_json["version"].get<std::string>().starts_with("0.2."));
}

TEST(GeometryMap, Np2SingleShankRowsAre15MicronsApart) {
  TempDir dir;
  const ProbeIdentity identity{ProbeKind::np2_single_shank, "NP2000", 19011110123, "NPNH_FLEX_00", "NPNH_HS_00", 1, 1, 0};
  auto configuration = imro::default_configuration(ProbeKind::np2_single_shank);
  configuration.channels[40].bank_mask = 0b0010;  // bank 1
  const auto rec = record(dir.path(), identity, configuration);
  const auto map = parse_geom_map(rec.ap_meta.at("~snsGeomMap"));
  EXPECT_EQ(map.part_number, "NP2000");
  EXPECT_EQ((std::array{map.shanks, map.pitch, map.width}), (std::array{1, 0, 70}));
  ASSERT_EQ(map.entries.size(), 384u);
  for (int c : {0, 1, 2, 191, 383}) EXPECT_EQ(map.entries[c], np2_site(0, c)) << c;
  EXPECT_EQ(map.entries[40], np2_site(0, *imro::np2_single_shank_electrode(40, 1)));
  EXPECT_TRUE(rec.lf_meta.empty());
  expect_valid(rec.probe_json);
  expect_agrees(rec.probe_json["probes"][0], map, ProbeKind::np2_single_shank);
  EXPECT_EQ(rec.probe_json["probes"][0]["contact_ids"][383], "e383");
}

TEST(GeometryMap, FourShankTableOverEveryShankPlacesEachChannelOnItsShank) {
  TempDir dir;
  const ProbeIdentity identity{ProbeKind::np2_four_shank, "NP2014", 19011110456, "NPNH_FLEX_00", "NPNH_HS_00", 2, 0, 0};
  auto configuration = imro::parse_configuration(spread_four_shank_table(), ProbeKind::np2_four_shank);
  ASSERT_TRUE(configuration) << configuration.error();
  const auto rec = record(dir.path(), identity, *configuration);
  EXPECT_TRUE(rec.ap_meta.at("~snsGeomMap").starts_with("(NP2014,4,250,70)"));
  const auto map = parse_geom_map(rec.ap_meta.at("~snsGeomMap"));
  ASSERT_EQ(map.entries.size(), 384u);
  std::array<int, 4> per_shank{};
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const int shank = c % 4;
    const int electrode = *imro::np2_four_shank_electrode(c, shank, (c / 4) % 2);
    EXPECT_EQ(map.entries[c], np2_site(shank, electrode)) << "channel " << c;
    ++per_shank[map.entries[c].shank];
  }
  EXPECT_EQ(per_shank, (std::array{96, 96, 96, 96}));
  // The shank map agrees on the shank.
  EXPECT_NE(rec.ap_meta.at("~snsShankMap").find(")(1:"), std::string::npos);
  expect_valid(rec.probe_json);
  const auto& probe = rec.probe_json["probes"][0];
  expect_agrees(probe, map, ProbeKind::np2_four_shank);
  EXPECT_EQ(probe["contact_ids"][1], fmt::format("s1e{}", *imro::np2_four_shank_electrode(1, 1, 0)));
  EXPECT_EQ(probe["contact_positions"][3][0].get<int>(), 3 * 250 + map.entries[3].x);
  // The outline covers every shank: its x range spans all four.
  int max_x = 0;
  for (const auto& point : probe["probe_planar_contour"]) max_x = std::max(max_x, point[0].get<int>());
  EXPECT_EQ(max_x, 3 * 250 + 70);
}

TEST(ProbeInterface, RunDocumentHoldsEveryProbeInOrder) {
  const std::vector<probeinterface::RecordedProbe> probes{
      {{ProbeKind::np1, "PRB_1_4_0480_1", 1, "", "", 0, 0, 0}, imro::default_configuration(ProbeKind::np1)},
      {{ProbeKind::np2_four_shank, "NP2014", 2, "", "", 1, 0, 0}, imro::default_configuration(ProbeKind::np2_four_shank)},
  };
  const auto document = probeinterface::document(probes);
  expect_valid(document);
  ASSERT_EQ(document["probes"].size(), 2u);
  EXPECT_EQ(document["probes"][0]["annotations"]["serial_number"], "1");
  EXPECT_EQ(document["probes"][1]["annotations"]["part_number"], "NP2014");
  EXPECT_EQ(document["probes"][1]["contact_ids"][0], "s0e0");
  EXPECT_EQ(document["probes"][0]["device_channel_indices"].size(), 384u) << "the reference channel too";
  EXPECT_EQ(document["probes"][0]["device_channel_indices"][191], 191);
  EXPECT_EQ(document["probes"][0]["contact_ids"][191], "e191");
  // Probe k's indices follow probe k - 1's: unique across the file.
  EXPECT_EQ(document["probes"][1]["device_channel_indices"][0], 384);
  EXPECT_EQ(document["probes"][1]["device_channel_indices"][383], 767);
  // Its own file numbers the channels of its .bin.
  EXPECT_EQ(probeinterface::probe(probes[1])["device_channel_indices"][0], 0);
}

TEST(ProbeInterface, DisconnectedNp2ChannelsAreNoContacts) {
  auto configuration = imro::default_configuration(ProbeKind::np2_single_shank);
  configuration.channels[7].bank_mask = 0;
  const auto probe = probeinterface::probe({{ProbeKind::np2_single_shank, "NP2003", 3, "", "", 1, 0, 0}, configuration});
  ASSERT_EQ(probe["device_channel_indices"].size(), 383u);
  EXPECT_EQ(probe["device_channel_indices"][7], 8);
  EXPECT_EQ(probe["contact_annotations"]["adc_group"][7], 2 * (8 / 32) + 8 % 2);
}

TEST(ProbeInterface, TheUniquenessRuleCatchesRepeatedChannelsAcrossProbes) {
  const std::vector<probeinterface::RecordedProbe> probes{
      {{ProbeKind::np1, "PRB_1_4_0480_1", 1, "", "", 0, 0, 0}, imro::default_configuration(ProbeKind::np1)},
      {{ProbeKind::np1, "PRB_1_4_0480_1", 2, "", "", 1, 0, 0}, imro::default_configuration(ProbeKind::np1)},
  };
  auto document = probeinterface::document(probes);
  document["probes"][1]["device_channel_indices"] = document["probes"][0]["device_channel_indices"];
  ::testing::TestPartResultArray failures;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    expect_valid(document);
  }
  EXPECT_EQ(failures.size(), 384) << "every channel of the second probe";
}

TEST(ProbeInterface, SchemaRefusesADocumentWithoutContacts) {
  json document = probeinterface::document(std::vector<probeinterface::RecordedProbe>{
      {{ProbeKind::np1, "PRB_1_4_0480_1", 1, "", "", 0, 0, 0}, imro::default_configuration(ProbeKind::np1)}});
  document["probes"][0].erase("contact_positions");
  const json schema_document = json::parse(read_file(std::filesystem::path(PELIONP_SOURCE_DIR) / "tests/data/probeinterface.schema.json"));
  valijson::Schema schema;
  valijson::SchemaParser parser;
  valijson::adapters::NlohmannJsonAdapter schema_adapter(schema_document);
  parser.populateSchema(schema_adapter, schema);
  valijson::Validator validator;
  valijson::adapters::NlohmannJsonAdapter target(document);
  EXPECT_FALSE(validator.validate(schema, target, nullptr));
}

}  // namespace
}  // namespace pelionp::record::spikeglx
