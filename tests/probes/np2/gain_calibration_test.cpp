#include <sstream>

#include <gtest/gtest.h>

#include "pelionp/probes/np2/gain_calibration.h"

namespace {

using namespace pelionp::NP2;

std::string gain_file(std::size_t channels, float (*gain)(std::size_t) = [](std::size_t c) {
    return 1.0f + static_cast<float>(c) / 1000.0f;
}) {
    std::string text = "21144108422\n";
    for (std::size_t c = 0; c < channels; ++c) text += std::to_string(c) + "," + std::to_string(gain(c)) + ",x\n";
    return text;
}

std::expected<GainTable, std::string> read(const std::string& text) {
    std::istringstream in(text);
    return read_gain_calibration(in);
}

TEST(NP2GainCalibration, WholeFile) {
    const auto table = read(gain_file(384));
    ASSERT_TRUE(table) << table.error();
    EXPECT_FLOAT_EQ((*table)[0], 1.0f);
    EXPECT_FLOAT_EQ((*table)[383], 1.383f);
}

TEST(NP2GainCalibration, Refusals) {
    EXPECT_EQ(read("").error(), "No lines in gain calibration file");
    EXPECT_EQ(read("123\n0,1.0\n2,1.0\n").error(), "Channels out of order or missing: expected 1, got 2");
    EXPECT_EQ(read("123\n0,1.0\n1\n").error(), "Malformed CSV line: 1");
    EXPECT_EQ(read("123\n0,1.0\n1,abc\n").error(), "Malformed CSV line: 1,abc");
    EXPECT_EQ(read("123\n0,1.0\nx,1.0\n").error(), "Malformed CSV line: x,1.0");
    EXPECT_EQ(read("123\n99999999999,1.0\n").error(), "Malformed CSV line: 99999999999,1.0");
    EXPECT_EQ(read(gain_file(383)).error(), "Gain calibration file lists 383 of 384 channels");
    EXPECT_EQ(read(gain_file(385)).error(), "Gain calibration channel 384 out of range, the probe has 384 channels");
    EXPECT_EQ(read("123\n").error(), "Gain calibration file lists 0 of 384 channels");
}

TEST(NP2GainCalibration, NonFiniteGainsAreMalformed) {
    for (const std::string gain : {"nan", "inf", "-inf", "NAN", "infinity"}) {
        const std::string line = "1," + gain + ",x";
        EXPECT_EQ(read("123\n0,1.0\n" + line + "\n").error(), "Malformed CSV line: " + line);
    }
}

}  // namespace
