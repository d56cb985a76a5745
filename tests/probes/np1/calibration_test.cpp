// Gain calibration CSV files: every refusal keeps the previous tables.
#include <memory>
#include <sstream>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "pelionp/probes/np1/configuration.h"
#include "tests/support/log_capture.h"

namespace {

using pelionp::NP1::ProbeConfiguration;
using pelionp::test::LogCapture;

float ap_factor(int code, int e) { return 0.5F + static_cast<float>(code) * 0.125F + static_cast<float>(e) / 4096; }
float lfp_factor(int code, int e) { return 1.5F - static_cast<float>(code) * 0.0625F + static_cast<float>(e) / 8192; }

std::string data_line(int e) {
    std::string line = std::to_string(e);
    for (int code = 0; code < 8; ++code) line += fmt::format(",{}", ap_factor(code, e));
    for (int code = 0; code < 8; ++code) line += fmt::format(",{}", lfp_factor(code, e));
    return line;
}

std::string csv(int electrodes, const std::string& eol = "\n") {
    std::string text = "18005106831" + eol;
    for (int e = 0; e < electrodes; ++e) text += data_line(e) + eol;
    return text;
}

class Np1GainCalibration : public ::testing::Test {
protected:
    std::unique_ptr<ProbeConfiguration> cfg = std::make_unique<ProbeConfiguration>();

    std::expected<void, std::string> load(const std::string& text) {
        std::istringstream in(text);
        return cfg->load_gain_calibration(in);
    }
    void expect_tables_untouched() const {
        for (int code = 0; code < 8; ++code)
            for (int e = 0; e < 960; ++e) {
                ASSERT_EQ(cfg->ap_gain_calibration[code][e], 1.0F);
                ASSERT_EQ(cfg->lfp_gain_calibration[code][e], 1.0F);
            }
    }
    void expect_refused(const std::string& text, const std::string& message) {
        const auto r = load(text);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), message);
        expect_tables_untouched();
    }
};

TEST_F(Np1GainCalibration, CompleteFileFillsBothTables) {
    LogCapture log;
    ASSERT_TRUE(load(csv(960)));
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Using serial number: 18005106831"));
    for (int code = 0; code < 8; ++code)
        for (int e : {0, 1, 191, 500, 959}) {
            EXPECT_FLOAT_EQ(cfg->ap_gain_calibration[code][e], ap_factor(code, e));
            EXPECT_FLOAT_EQ(cfg->lfp_gain_calibration[code][e], lfp_factor(code, e));
        }
    // The corrections follow only at the channel's next change.
    EXPECT_EQ(cfg->ap_gain_correction[3].load(), 1.0F);
    ASSERT_TRUE(cfg->setGain(3, 2, 5));
    EXPECT_FLOAT_EQ(cfg->ap_gain_correction[3].load(), ap_factor(2, 3));
    EXPECT_FLOAT_EQ(cfg->lfp_gain_correction[3].load(), lfp_factor(5, 3));
}

TEST_F(Np1GainCalibration, CarriageReturnsAndExtraFieldsAreTolerated) {
    std::string text = csv(960, "\r\n");
    text.insert(text.find("\r\n", text.find('\n') + 1), ",extra,fields");
    ASSERT_TRUE(load(text));
    EXPECT_FLOAT_EQ(cfg->lfp_gain_calibration[7][0], lfp_factor(7, 0));
}

TEST_F(Np1GainCalibration, EmptyAndSerialOnlyFilesAreRefused) {
    expect_refused("", "No data in gain calibration file");
    expect_refused("18005106831\n", "Gain calibration file lists 0 electrodes, expected 960");
}

TEST_F(Np1GainCalibration, IncompleteOrOverlongFilesAreRefused) {
    expect_refused(csv(959), "Gain calibration file lists 959 electrodes, expected 960");
    expect_refused(csv(960) + data_line(960) + "\n", "Electrode 960 out of range: the probe has 960 electrodes");
}

TEST_F(Np1GainCalibration, ElectrodesMustRunInOrder) {
    expect_refused("sn\n" + data_line(0) + "\n" + data_line(2) + "\n",
                   "Electrodes out of order or missing: expected 1, got 2");
    expect_refused("sn\n" + data_line(1) + "\n", "Electrodes out of order or missing: expected 0, got 1");
}

TEST_F(Np1GainCalibration, MalformedLinesAreNamed) {
    std::string short_line = data_line(0);
    short_line.erase(short_line.rfind(','));
    expect_refused("sn\n" + short_line + "\n", "Malformed CSV line: " + short_line);
    expect_refused("sn\n\n", "Malformed CSV line: ");

    LogCapture log;
    std::string bad = data_line(0);
    bad.replace(bad.find(',') + 1, bad.find(',', bad.find(',') + 1) - bad.find(',') - 1, "abc");
    expect_refused("sn\n" + bad + "\n", "Malformed CSV line: " + bad);
    EXPECT_TRUE(log.contains(spdlog::level::err, "Malformed CSV line: " + bad));

    const std::string bad_electrode = "x" + data_line(0);
    expect_refused("sn\n" + bad_electrode + "\n", "Malformed CSV line: " + bad_electrode);
    const std::string huge = "0,1e99" + data_line(0).substr(data_line(0).find(',', 2));
    expect_refused("sn\n" + huge + "\n", "Malformed CSV line: " + huge);
    const std::string nan = "0,nan" + data_line(0).substr(data_line(0).find(',', 2));
    expect_refused("sn\n" + nan + "\n", "Malformed CSV line: " + nan);
}

TEST_F(Np1GainCalibration, ARefusedFileKeepsTheTablesOfTheLastGoodOne) {
    ASSERT_TRUE(load(csv(960)));
    std::string text = csv(960);
    text.replace(text.rfind("959,"), 3, "958");
    const auto r = load(text);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Electrodes out of order or missing: expected 959, got 958");
    EXPECT_FLOAT_EQ(cfg->ap_gain_calibration[6][959], ap_factor(6, 959));
}

}  // namespace
