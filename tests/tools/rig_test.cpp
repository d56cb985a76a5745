#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"
#include "tools/rig/rig.h"

namespace pelionp::tool::rig {
namespace {

TEST(Rig, DefaultRigIsNp1OnPort0AndBothNp2KindsOnPort1) {
  const auto rig = default_rig();
  EXPECT_EQ(rig.ports[0].headstage, Headstage::np1);
  EXPECT_EQ(rig.ports[0].docks[0], (Probe{ProbeKind::np1, {}}));
  EXPECT_EQ(rig.ports[1].headstage, Headstage::np2);
  EXPECT_EQ(rig.ports[1].docks[0], (Probe{ProbeKind::np2_single_shank, {}}));
  EXPECT_EQ(rig.ports[1].docks[1], (Probe{ProbeKind::np2_four_shank, {}}));
  EXPECT_EQ(rig.ports[2].headstage, Headstage::none);
  EXPECT_EQ(rig.ports[3].headstage, Headstage::none);
  EXPECT_EQ(parse_compact(DEFAULT_RIG), rig);
  EXPECT_EQ(to_compact(rig), DEFAULT_RIG);
}

TEST(Rig, CompactFormNamesPortsAndDocks) {
  auto rig = parse_compact(" 3 = np2:empty+four , 2=np2, 0=none");
  ASSERT_TRUE(rig) << rig.error();
  EXPECT_EQ(rig->ports[3].headstage, Headstage::np2);
  EXPECT_EQ(rig->ports[3].docks[0], std::nullopt);
  EXPECT_EQ(rig->ports[3].docks[1], (Probe{ProbeKind::np2_four_shank, {}}));
  EXPECT_EQ(rig->ports[2].headstage, Headstage::np2);
  EXPECT_EQ(rig->ports[2].docks[0], std::nullopt);
  EXPECT_EQ(rig->ports[0].headstage, Headstage::none);
  EXPECT_EQ(to_compact(*rig), "2=np2:empty+empty,3=np2:empty+four");
  EXPECT_EQ(parse_compact(to_compact(full_np2_rig())), full_np2_rig());

  EXPECT_EQ(parse_compact("").error(), "rig '': empty");
  EXPECT_EQ(parse_compact("4=np1").error(), "rig '4=np1': port '4' is not 0..3");
  EXPECT_EQ(parse_compact("0=np1,0=np2").error(), "rig '0=np1,0=np2': port 0 is named twice");
  EXPECT_EQ(parse_compact("1=np3").error(), "rig '1=np3': port 1: 'np3' is not np1, np2 or none");
  EXPECT_EQ(parse_compact("1=np2:single+four+four").error(), "rig '1=np2:single+four+four': port 1: an NP2 headstage has two docks");
  EXPECT_EQ(parse_compact("1=np2:double").error(), "rig '1=np2:double': port 1: dock 'double' is not single, four or empty");
  EXPECT_EQ(parse_compact("np1").error(), "rig 'np1': 'np1' is not PORT=np1 or PORT=np2:DOCKS");
}

TEST(Rig, JsonFormCarriesSerialsAndRoundTrips) {
  auto rig = parse_json(R"({"ports": [
      {"port": 2, "headstage": "np1", "serial": 18005106831},
      {"port": 0, "headstage": "np2", "docks": [null, {"probe": "four", "serial": 7}]}]})");
  ASSERT_TRUE(rig) << rig.error();
  EXPECT_EQ(rig->ports[2].docks[0], (Probe{ProbeKind::np1, 18005106831}));
  EXPECT_EQ(rig->ports[0].docks[0], std::nullopt);
  EXPECT_EQ(rig->ports[0].docks[1], (Probe{ProbeKind::np2_four_shank, 7}));
  EXPECT_EQ(parse_json(to_json(*rig)), *rig);

  EXPECT_EQ(parse_json("{").error(), "rig description is not valid JSON");
  EXPECT_EQ(parse_json(R"({"ports": [{"headstage": "np1"}]})").error(),
            R"(port entry {"headstage":"np1"} has no integer "port")");
  EXPECT_EQ(parse_json(R"({"ports": [{"port": 1, "headstage": 3}]})").error(), R"(port 1: "headstage" is not a string)");
  EXPECT_EQ(parse_json(R"({"ports": [{"port": 1, "headstage": "np1", "serial": -2}]})").error(),
            "port 1: serial -2 is not an unsigned integer");
  EXPECT_EQ(parse_json(R"({"ports": [{"port": 1, "headstage": "np2", "docks": [{"probe": "x"}]}]})").error(),
            "port 1 dock 0: dock 'x' is not single, four or empty");
}

TEST(Rig, ArgumentIsAFileWhenOneExists) {
  test::TempDir dir;
  const auto path = dir.path() / "rig.json";
  std::ofstream(path) << R"({"ports": [{"port": 3, "headstage": "np1"}]})";
  auto from_file = parse_rig_argument(path.string());
  ASSERT_TRUE(from_file) << from_file.error();
  EXPECT_EQ(from_file->ports[3].headstage, Headstage::np1);
  std::ofstream(path) << "{";
  EXPECT_EQ(parse_rig_argument(path.string()).error(), path.string() + ": rig description is not valid JSON");
  EXPECT_EQ(parse_rig_argument("1=np1")->ports[1].headstage, Headstage::np1);
}

}  // namespace
}  // namespace pelionp::tool::rig
