#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "record/capture/sidecar.h"

namespace pelionp::record::capture {
namespace {

Sidecar default_rig_sidecar() {
  Sidecar sidecar;
  StreamDescription np1;
  np1.sid = 0;
  np1.probe = {ProbeKind::np1, "PRB_1_4_0480_1", 18005106831, "NP2_FLEX_0", "NP2_HS_30", 0, 0, 0};
  np1.configuration = imro::default_configuration(ProbeKind::np1);
  np1.configuration.channels[3].ap_gain_code = 7;
  GainCorrection ap{};
  GainCorrection lf{};
  for (int c = 0; c < CHANNEL_COUNT; ++c) ap[c] = 1.0f + c * 1e-4f, lf[c] = 0.5f + c * 3e-5f;
  np1.ap_gain_correction = ap;
  np1.lf_gain_correction = lf;
  StreamDescription single;
  single.sid = 9;
  single.probe = {ProbeKind::np2_single_shank, "NP2003", 21, "NPNH_FLEX", "NPM_HS_30", 1, 0, 0};
  single.configuration = imro::default_configuration(ProbeKind::np2_single_shank);
  StreamDescription four;
  four.sid = 13;
  four.probe = {ProbeKind::np2_four_shank, "NP2013", 22, "NPNH_FLEX", "NPM_HS_30", 1, 1, 0};
  four.configuration = imro::default_configuration(ProbeKind::np2_four_shank);
  four.ap_gain_correction = ap;
  sidecar.streams = {np1, single, four};
  return sidecar;
}

TEST(CaptureSidecar, StreamIdsFollowPortAndDock) {
  EXPECT_EQ(stream_id(ProbeKind::np1, 2, 0), 2);
  EXPECT_EQ(stream_id(ProbeKind::np2_single_shank, 3, 0), 11);
  EXPECT_EQ(stream_id(ProbeKind::np2_four_shank, 0, 1), 12);
  EXPECT_EQ(sidecar_path("/x/run.raw"), "/x/run.raw.json");
}

TEST(CaptureSidecar, RoundTripsIdentityConfigurationAndCorrections) {
  test::TempDir dir;
  const auto sidecar = default_rig_sidecar();
  const auto path = dir.path() / "capture.raw.json";
  ASSERT_TRUE(write(path, sidecar));
  auto back = read(path);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back->streams, sidecar.streams);
  EXPECT_EQ(back->streams[1].ap_gain_correction, std::nullopt) << "absent means unit correction";
}

TEST(CaptureSidecar, InconsistentDescriptionsAreRefusedWithTheStream) {
  auto edited = [](auto change) {
    auto document = nlohmann::json::parse(to_json(default_rig_sidecar()));
    change(document);
    auto r = parse(document.dump());
    EXPECT_FALSE(r);
    return r ? std::string() : r.error();
  };
  EXPECT_EQ(edited([](auto& d) { d["streams"][1]["sid"] = 10; }),
            "capture sidecar: stream 1: SID 10 does not belong to an NP2 single-shank probe on port 1 dock 0");
  EXPECT_EQ(edited([](auto& d) { d["streams"][2].erase("serial"); }), "capture sidecar: stream 2: missing \"serial\"");
  EXPECT_EQ(edited([](auto& d) { d["streams"][0]["kind"] = "np3"; }),
            "capture sidecar: stream 0: \"kind\" 'np3' is not np1, np2-1shank or np2-4shank");
  EXPECT_EQ(edited([](auto& d) { d["streams"][0]["port"] = 4; }),
            "capture sidecar: stream 0: \"port\" is 4, expected an integer 0..3");
  EXPECT_EQ(edited([](auto& d) { d["streams"][2]["lf_gain_correction"] = d["streams"][0]["lf_gain_correction"]; }),
            "capture sidecar: stream 2: an NP2 probe has no LF gain correction");
  EXPECT_EQ(edited([](auto& d) { d["streams"][0]["ap_gain_correction"].erase(0); }),
            "capture sidecar: stream 0: \"ap_gain_correction\" is not an array of 384 numbers");
  EXPECT_EQ(edited([](auto& d) { d["streams"][1]["imro"] = "(24,384)"; }),
            "capture sidecar: stream 1: IMRO table declares 384 channels but holds 0 entries");
  EXPECT_EQ(edited([](auto& d) { d["streams"].push_back(d["streams"][0]); }),
            "capture sidecar: stream 3: SID 0 appears twice");
  EXPECT_EQ(edited([](auto& d) { d["version"] = 2; }), "capture sidecar: version 2 is not supported (expected 1)");
  EXPECT_EQ(parse("[").error(), "capture sidecar is not valid JSON");
}

}  // namespace
}  // namespace pelionp::record::capture
