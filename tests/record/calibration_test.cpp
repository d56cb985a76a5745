#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "record/calibration/calibration.h"

namespace pelionp::record::calibration {
namespace {

std::string adc_file(int count, std::string_view line_end = "\n") {
  std::string text = fmt::format("18005106831{}", line_end);
  for (int adc = 0; adc < count; ++adc)
    text += fmt::format("{},{},{},{},{},{},{},{},{}{}", adc, 16 + adc % 3, 15, adc % 8, adc % 4, 3 - adc % 4, adc % 16,
                        -adc, 40 + adc, line_end);
  return text;
}

std::string parse_error(const std::string& text) {
  std::istringstream in(text);
  auto r = parse_adc_calibration(in);
  EXPECT_FALSE(r);
  return r ? std::string() : r.error();
}

TEST(Calibration, FilesAreFoundBySerialAndMissingOnesAreWarnings) {
  test::TempDir dir;
  EXPECT_EQ(gain_file_path(dir.path(), 18005106831), dir.path() / "18005106831" / "18005106831_gainCalValues.csv");
  EXPECT_EQ(adc_file_path(dir.path(), 7), dir.path() / "7" / "7_ADCCalibration.csv");

  std::filesystem::create_directories(dir.path() / "7");
  std::ofstream(gain_file_path(dir.path(), 7)) << "7\n";
  {
    pelionp::test::LogCapture log;
    const auto np1 = locate(dir.path(), 7, ProbeKind::np1);
    EXPECT_EQ(np1.gain, gain_file_path(dir.path(), 7));
    EXPECT_EQ(np1.adc, std::nullopt);
    EXPECT_EQ(log.at(spdlog::level::warn),
              std::vector<std::string>{fmt::format("ADC calibration file {} not found; the probe keeps its default",
                                                   adc_file_path(dir.path(), 7).string())});
  }
  {
    pelionp::test::LogCapture log;
    const auto np2 = locate(dir.path(), 8, ProbeKind::np2_four_shank);
    EXPECT_EQ(np2.gain, std::nullopt);
    EXPECT_EQ(np2.adc, std::nullopt) << "NP2 probes have no ADC file";
    EXPECT_EQ(log.at(spdlog::level::warn),
              std::vector<std::string>{fmt::format("Gain calibration file {} not found; the probe keeps its default",
                                                   gain_file_path(dir.path(), 8).string())});
  }
}

TEST(Calibration, AdcFileGivesNineFieldsPerAdcInOrder) {
  for (auto line_end : {"\n", "\r\n"}) {
    std::istringstream in(adc_file(32, line_end) + "\n");
    auto r = parse_adc_calibration(in);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->serial, "18005106831");
    ASSERT_EQ(r->adcs.size(), 32u);
    EXPECT_EQ(r->adcs[5], (ADC_Calib{5, 18, 15, 5, 1, 2, 5, -5, 45}));
    EXPECT_EQ(r->adcs[31], (ADC_Calib{31, 17, 15, 7, 3, 0, 15, -31, 71}));
  }
}

TEST(Calibration, MalformedAdcFilesAreErrorsNamingTheLine) {
  EXPECT_EQ(parse_error(""), "ADC calibration file is empty");
  EXPECT_EQ(parse_error(adc_file(31)), "ADC calibration file has no line for ADC 31");
  EXPECT_EQ(parse_error(adc_file(32) + "3,1,1,1,1,1,1,1,1\n"),
            "ADC calibration line 34 (3,1,1,1,1,1,1,1,1): ADC 3 appears twice");
  EXPECT_EQ(parse_error("s\n0,1,2,3,4,5,6,7\n"), "ADC calibration line 2 (0,1,2,3,4,5,6,7): 8 fields, expected 9");
  EXPECT_EQ(parse_error("s\n0,1,2,3,4,5,6,7,8,9\n"), "ADC calibration line 2 (0,1,2,3,4,5,6,7,8,9): more than 9 fields");
  EXPECT_EQ(parse_error("s\n0,1,2,x,4,5,6,7,8\n"), "ADC calibration line 2 (0,1,2,x,4,5,6,7,8): field 4 'x' is not an integer");
  EXPECT_EQ(parse_error("s\n0,1,2,3.5,4,5,6,7,8\n"),
            "ADC calibration line 2 (0,1,2,3.5,4,5,6,7,8): field 4 '3.5' is not an integer");
  EXPECT_EQ(parse_error("s\n32,1,2,3,4,5,6,7,8\n"), "ADC calibration line 2 (32,1,2,3,4,5,6,7,8): ADC 32 is outside 0..31");

  test::TempDir dir;
  const auto path = dir.path() / "bad.csv";
  std::ofstream(path) << "s\n0,1\n";
  auto r = read_adc_calibration(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), path.string() + ": ADC calibration line 2 (0,1): 2 fields, expected 9");
}

}  // namespace
}  // namespace pelionp::record::calibration
