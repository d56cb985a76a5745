// `pelionp doctor` as a user runs it: on the simulated board every check is
// ok and the program ends with 0; a plug-in that is not there is a problem
// line and a non-zero end. (The checks against the stand-in driver are in
// tests/doctor.)

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"

namespace pelionp::tool::test {
namespace {

using pelionp::test::TempDir;

TEST(DoctorCommand, TheSimulatedBoardPassesEveryCheck) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess doctor(TOOL, {"doctor", "--sim"}, dir.path());
  ASSERT_TRUE(doctor.started());
  ASSERT_EQ(doctor.wait(), 0) << doctor.out() << doctor.err();
  EXPECT_EQ(doctor.out(),
            "ok      simulated board status: Mode np, Version 1.0.0, Build sim, API 1\n"
            "ok      simulated board identity: {\"Board\":\"simulated\",\"Ports\":4,\"Serial\":\"SIM-0000\"}\n"
            "ok      simulated board firmware: the Neuropixels image, interface version 1\n"
            "ok      simulated board port 0: NP1 headstage NP1_HS_30, configuration link\n"
            "ok      simulated board port 1: NP2 headstage NP2_HS_30, configuration link\n"
            "ok      simulated board port 2: no headstage answers (an empty port)\n"
            "ok      simulated board port 3: no headstage answers (an empty port)\n"
            "all checks ok\n");
}

TEST(DoctorCommand, APlugInThatIsNotThereIsAProblemAndTheExitIsNotZero) {
  REQUIRE_TOOL();
  TempDir dir;
  const auto absent = dir.path() / "kessa_device_manager.so";
  ToolProcess doctor(TOOL, {"doctor", "--plugin", absent.string()}, dir.path());
  ASSERT_TRUE(doctor.started());
  EXPECT_EQ(doctor.wait(), 1) << doctor.out() << doctor.err();
  EXPECT_EQ(doctor.out().rfind("problem plug-in: " + absent.string() + " not found -> do: give the plug-in's file", 0),
            0u)
      << doctor.out();
}

#ifdef KESSA_DEVICE_MANAGER_MODULE
// A board the plug-in does not have: said so, with where to look next.
TEST(DoctorCommand, AnIdWithoutABoardPointsToTheDoctor) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess detect(TOOL, {"detect", "--plugin", KESSA_DEVICE_MANAGER_MODULE, "--config", R"({"id": 7})"}, dir.path());
  ASSERT_TRUE(detect.started());
  EXPECT_EQ(detect.wait(), 1);
  const std::string plugin = KESSA_DEVICE_MANAGER_MODULE;
  const auto said = fmt::format(R"({}: no board with the id of {{"id": 7}}: the plug-in finds )", plugin);
  const auto next = fmt::format("`pelionp doctor --plugin {}` says what is missing", plugin);
  EXPECT_NE(detect.err().find(said), std::string::npos) << detect.err();
  EXPECT_NE(detect.err().find(next), std::string::npos) << detect.err();
}
#endif

}  // namespace
}  // namespace pelionp::tool::test
