// The shank and base images bit for bit, at positions written out from the
// chip's layout rather than computed by the code under test.
#include <bitset>
#include <memory>

#include <gtest/gtest.h>

#include "pelionp/probes/np1/configuration.h"
#include "sim/probes/np1_image.h"
#include "tests/support/log_capture.h"

namespace {

using pelionp::ADC_Calib;
using pelionp::channelreference_t;
using pelionp::NP1::ProbeConfiguration;
using pelionp::test::LogCapture;
constexpr auto error = spdlog::level::err;

bool bit(std::span<const uint8_t> image, int n) { return (image[n / 8] >> (n % 8)) & 1; }

std::size_t popcount(std::span<const uint8_t> image) {
    std::size_t n = 0;
    for (auto b : image) n += std::bitset<8>(b).count();
    return n;
}

class Np1Configuration : public ::testing::Test {
protected:
    std::unique_ptr<ProbeConfiguration> cfg = std::make_unique<ProbeConfiguration>();
    const auto& shank() const { return cfg->shank_config; }
    const auto& base(int p) const { return cfg->base_config[p]; }
};

TEST_F(Np1Configuration, DefaultsConnectBankZeroWithExternalReferences) {
    EXPECT_EQ(cfg->ref_count, (std::array<uint32_t, 3>{384, 0, 0}));
    EXPECT_EQ(cfg->internal_ref_bank, 0);
    // Electrode 0 at bit 485, electrode 1 at bit 482, electrode 383 at 482 - 191.
    EXPECT_TRUE(bit(shank(), 485));
    EXPECT_TRUE(bit(shank(), 482));
    EXPECT_TRUE(bit(shank(), 291));
    EXPECT_FALSE(bit(shank(), 387)) << "channel 191 selects nothing";
    EXPECT_EQ(popcount(shank()), 383U);
    EXPECT_EQ(cfg->electrode[191], 0);
    EXPECT_EQ(cfg->electrode[383], 383);
    EXPECT_EQ(cfg->getchannelbank(191), 255);

    // One EXT switch per channel; channel 382 / 383 come first in their image.
    EXPECT_TRUE(bit(base(0), 0));
    EXPECT_TRUE(bit(base(1), 0));
    EXPECT_TRUE(bit(base(0), 573)) << "channel 0 is the last group of image 0";
    EXPECT_TRUE(bit(base(1), 573)) << "channel 1 is the last group of image 1";
    for (int c = 0; c < 384; ++c) {
        EXPECT_EQ(base(c % 2)[72 + c / 2], 0x04) << "AP code 4, LFP code 0, channel " << c;
        int ap = -1, lfp = -1;
        ASSERT_EQ(cfg->getGain(c, &ap, &lfp), 0);
        EXPECT_EQ(ap, 4);
        EXPECT_EQ(lfp, 0);
        EXPECT_EQ(cfg->ap_gain_correction[c].load(), 1.0F);
        EXPECT_EQ(cfg->lfp_gain_correction[c].load(), 1.0F);
    }
    // Default ADC trims: CompP 16 and CompN 16 only (ADC 0: field A at 2406).
    EXPECT_TRUE(bit(base(0), 2410));
    EXPECT_TRUE(bit(base(0), 2415));
    EXPECT_EQ(popcount(std::span(base(0)).subspan(264)), 32U);
    EXPECT_EQ(popcount(std::span(base(1)).subspan(264)), 32U);
    EXPECT_EQ(popcount(std::span(base(0)).first(72)), 192U);
}

TEST_F(Np1Configuration, FirstUpdateDrivesExternalSwitchesOnly) {
    cfg->probe_updateconfigurationbits();
    for (int b : {2, 965}) EXPECT_TRUE(bit(shank(), b)) << b;
    for (int b : {0, 1, 3, 195, 387, 483, 484, 966, 967}) EXPECT_FALSE(bit(shank(), b)) << b;
    EXPECT_EQ(popcount(shank()), 385U);
}

TEST_F(Np1Configuration, ChannelsAndBanksAreValidated) {
    LogCapture log;
    const auto before = shank();
    for (uint8_t bank : {0, 1, 2, 255}) EXPECT_FALSE(cfg->selectElectrode(191, bank, true));
    EXPECT_TRUE(log.contains(error, "invalid channel: 191. selection of reference electrode 191/575/959 not allowed"));
    EXPECT_FALSE(cfg->selectElectrode(384, 0, true));
    EXPECT_TRUE(log.contains(error, "invalid channel: 384. index out of bound."));
    EXPECT_FALSE(cfg->selectElectrode(200, 2, true));
    EXPECT_TRUE(log.contains(
        error, "invalid electrode bank: 2 for channel 200. Only bank0/1 are valid in channel range 192..383."));
    EXPECT_FALSE(cfg->selectElectrode(10, 3, true));
    EXPECT_TRUE(log.contains(error, "invalid electrode bank: 3"));
    EXPECT_FALSE(cfg->selectElectrode(10, 254, false));
    EXPECT_EQ(shank(), before);
    EXPECT_EQ(cfg->electrode[200], 200);
}

TEST_F(Np1Configuration, ExclusiveSelectionMovesTheChannelAcrossBanks) {
    ASSERT_TRUE(cfg->selectElectrode(100, 2, true));
    EXPECT_TRUE(bit(shank(), 485 + 434)) << "electrode 868";
    EXPECT_FALSE(bit(shank(), 485 + 50)) << "electrode 100";
    EXPECT_FALSE(bit(shank(), 485 + 242)) << "electrode 484";
    EXPECT_EQ(cfg->electrode[100], 868);
    EXPECT_EQ(cfg->getchannelbank(100), 2);

    ASSERT_TRUE(cfg->selectElectrode(101, 1, true));
    EXPECT_TRUE(bit(shank(), 482 - 242)) << "electrode 485";
    EXPECT_FALSE(bit(shank(), 482 - 50)) << "electrode 101";
    int e = -1;
    EXPECT_EQ(cfg->probe_getelectrodenr(101, &e), 1);
    EXPECT_EQ(e, 485);
}

TEST_F(Np1Configuration, NonExclusiveSelectionKeepsOtherBanks) {
    ASSERT_TRUE(cfg->selectElectrode(7, 1, false));
    EXPECT_TRUE(cfg->getshankconfigbit(7));
    EXPECT_TRUE(cfg->getshankconfigbit(391));
    EXPECT_EQ(cfg->getchannelbank(7), 0) << "the lowest bank wins";
    EXPECT_EQ(cfg->electrode[7], 391) << "the model follows the last selection";
}

TEST_F(Np1Configuration, BankDisconnectClearsEveryElectrodeAndKeepsTheNumber) {
    ASSERT_TRUE(cfg->selectElectrode(20, 2, false));
    ASSERT_TRUE(cfg->selectElectrode(20, 1, false));
    ASSERT_TRUE(cfg->selectElectrode(20, 255, false));
    for (int e : {20, 404, 788}) EXPECT_FALSE(cfg->getshankconfigbit(e)) << e;
    EXPECT_EQ(cfg->electrode[20], 404);
    int e = -1;
    EXPECT_EQ(cfg->probe_getelectrodenr(20, &e), 0);
    EXPECT_EQ(e, -1);
    EXPECT_EQ(cfg->getchannelbank(20), 255);
    EXPECT_EQ(cfg->getshankconfigbit(960), 0);
}

TEST_F(Np1Configuration, ReferencesAreOneHotAndCounted) {
    ASSERT_TRUE(cfg->probe_setReference(5, channelreference_t::TIP_REF));
    // Channel 5: image 1, group (383 - 5) / 2 = 189 at bit 567.
    EXPECT_FALSE(bit(base(1), 567));
    EXPECT_TRUE(bit(base(1), 568));
    EXPECT_FALSE(bit(base(1), 569));
    EXPECT_EQ(cfg->ref_count, (std::array<uint32_t, 3>{383, 1, 0}));
    ASSERT_TRUE(cfg->probe_setReference(5, channelreference_t::TIP_REF));
    EXPECT_EQ(cfg->ref_count, (std::array<uint32_t, 3>{383, 1, 0}));
    ASSERT_TRUE(cfg->probe_setReference(5, channelreference_t::EXT_REF));
    EXPECT_EQ(cfg->ref_count, (std::array<uint32_t, 3>{384, 0, 0}));
    EXPECT_TRUE(bit(base(1), 567));
    EXPECT_FALSE(bit(base(1), 568));

    LogCapture log;
    EXPECT_FALSE(cfg->probe_setReference(384, channelreference_t::TIP_REF));
    EXPECT_TRUE(log.contains(error, "invalid channel: 384"));
    EXPECT_FALSE(cfg->probe_setReference(0, static_cast<channelreference_t>(3)));
    EXPECT_TRUE(log.contains(error, "invalid channel reference: 3"));
    EXPECT_EQ(cfg->ref_count, (std::array<uint32_t, 3>{384, 0, 0}));
}

TEST_F(Np1Configuration, InternalReferenceBankConnectsItsElectrodeAtUpdate) {
    ASSERT_TRUE(cfg->setReference(10, channelreference_t::INT_REF, 2));
    ASSERT_TRUE(cfg->setReference(12, channelreference_t::TIP_REF, 2));
    cfg->probe_updateconfigurationbits();
    EXPECT_TRUE(bit(shank(), 3)) << "electrode 959";
    EXPECT_FALSE(bit(shank(), 195));
    EXPECT_FALSE(bit(shank(), 387));
    EXPECT_TRUE(bit(shank(), 483));
    EXPECT_TRUE(bit(shank(), 484));

    LogCapture log;
    EXPECT_FALSE(cfg->setReference(10, channelreference_t::INT_REF, 3));
    EXPECT_TRUE(log.contains(error, "invalid channel internal reference: 3"));
    EXPECT_FALSE(cfg->setReference(400, channelreference_t::INT_REF, 0));
    EXPECT_EQ(cfg->internal_ref_bank, 2) << "rejected calls keep the bank";

    ASSERT_TRUE(cfg->setReference(10, channelreference_t::EXT_REF, 1));
    ASSERT_TRUE(cfg->setReference(12, channelreference_t::EXT_REF, 1));
    cfg->probe_updateconfigurationbits();
    for (int b : {3, 195, 387, 483, 484}) EXPECT_FALSE(bit(shank(), b)) << b;
}

TEST_F(Np1Configuration, GainsStandbyAndHighpassShareTheSettingsByte) {
    ASSERT_TRUE(cfg->probe_setStdb(9, true));
    ASSERT_TRUE(cfg->probe_setAPCornerFrequency(9, true));
    ASSERT_TRUE(cfg->setGain(9, 6, 2));
    EXPECT_EQ(base(1)[72 + 4], 0xC0 | 6 | (2 << 3));
    int ap = 0, lfp = 0;
    EXPECT_EQ(cfg->getGain(9, &ap, &lfp), 0);
    EXPECT_EQ(ap, 6);
    EXPECT_EQ(lfp, 2);
    ASSERT_TRUE(cfg->probe_setStdb(9, false));
    EXPECT_EQ(base(1)[76], 0x80 | 6 | (2 << 3));
    EXPECT_EQ(base(0)[76], 0x04) << "channel 8 untouched";

    // probe_setGain changes the image only.
    EXPECT_EQ(cfg->probe_setGain(9, 1, 1), 0);
    EXPECT_EQ(base(1)[76], 0x80 | 1 | (1 << 3));
    EXPECT_EQ(cfg->getGain(9, &ap, &lfp), 0);
    EXPECT_EQ(ap, 6);
}

TEST_F(Np1Configuration, InvalidGainsAreRefusedWithoutChange) {
    LogCapture log;
    const auto before = base(0);
    EXPECT_FALSE(cfg->setGain(0, 8, 0));
    EXPECT_TRUE(log.contains(error, "invalid AP gain: 8"));
    EXPECT_FALSE(cfg->setGain(0, 0, 8));
    EXPECT_TRUE(log.contains(error, "invalid LFP gain: 8"));
    EXPECT_FALSE(cfg->setGain(0, 256, 0)) << "must not wrap onto code 0";
    EXPECT_TRUE(log.contains(error, "invalid AP gain: 256"));
    EXPECT_FALSE(cfg->setGain(0, 0, -1));
    EXPECT_FALSE(cfg->setGain(384, 0, 0));
    EXPECT_EQ(cfg->probe_setGain(384, 0, 0), -1);
    EXPECT_TRUE(log.contains(error, "invalid channel: 384"));
    EXPECT_FALSE(cfg->probe_setStdb(384, true));
    EXPECT_FALSE(cfg->probe_setAPCornerFrequency(400, true));
    EXPECT_TRUE(log.contains(error, "invalid channel: 400"));
    EXPECT_EQ(base(0), before);
    int ap = 0, lfp = 0;
    EXPECT_EQ(cfg->getGain(384, &ap, &lfp), -1);
    EXPECT_EQ(cfg->ap_gain_code[0], 4);
}

TEST_F(Np1Configuration, ChainOffsetsOfTheAdcFields) {
    struct Case {
        int adc, image, a, b;
    };
    for (auto [adc, image, a, b] : {Case{0, 0, 2406, 2426}, Case{2, 0, 2416, 2437}, Case{28, 0, 2112, 2132},
                                    Case{31, 1, 2122, 2143}, Case{5, 1, 2364, 2384}}) {
        uint8_t* img = nullptr;
        int fa = 0, fb = 0;
        ASSERT_EQ(cfg->decode_chainoffsets(adc, &img, &fa, &fb), 0);
        EXPECT_EQ(img, cfg->base_config[image].data()) << adc;
        EXPECT_EQ(fa, a) << adc;
        EXPECT_EQ(fb, b) << adc;
    }
    LogCapture log;
    uint8_t* img = nullptr;
    int fa = 0, fb = 0;
    EXPECT_EQ(cfg->decode_chainoffsets(32, &img, &fa, &fb), -1);
    EXPECT_TRUE(log.contains(error, "ADC channel out of bound: 32"));
    EXPECT_EQ(cfg->decode_chainoffsets(-1, &img, &fa, &fb), -1);
}

TEST_F(Np1Configuration, AdcTrimsLandLeastSignificantBitFirst) {
    ADC_Calib zero{.adc = 0};
    ASSERT_TRUE(cfg->probe_writeADCCalib(&zero));
    ADC_Calib a0{.adc = 0, .CompP = 1};
    ASSERT_TRUE(cfg->probe_writeADCCalib(&a0));
    EXPECT_TRUE(bit(base(0), 2406));
    EXPECT_FALSE(bit(base(0), 2410)) << "the default CompP bit is cleared";

    ADC_Calib a3{.adc = 3, .CompP = 16, .CompN = 16, .Cfix = 8, .offset = 7, .threshold = -9};
    ASSERT_TRUE(cfg->probe_writeADCCalib(&a3));
    EXPECT_TRUE(bit(base(1), 2447));
    EXPECT_EQ(cfg->adc_offset_threshold[3], (ProbeConfiguration::OffsetThreshold{7, -9}));

    ADC_Calib fine_coarse{.adc = 3, .CompP = 16, .CompN = 16, .Coarse = 2, .Fine = 1};
    ASSERT_TRUE(cfg->probe_writeADCCalib(&fine_coarse));
    EXPECT_TRUE(bit(base(1), 2437 + 3)) << "Fine at +3";
    EXPECT_TRUE(bit(base(1), 2437 + 6)) << "Coarse 2 at +5..+6";
    EXPECT_FALSE(bit(base(1), 2447)) << "Cfix cleared";
}

TEST_F(Np1Configuration, RejectedAdcRecordsChangeNothing) {
    LogCapture log;
    const auto before = cfg->base_config;
    struct Case {
        ADC_Calib calib;
        const char* message;
    };
    const Case cases[] = {
        {{.adc = 32}, "ADC channel out of bound: 32"},
        {{.adc = -1}, "ADC channel out of bound: -1"},
        {{.adc = 4, .CompP = 32, .Fine = 4}, "ADC4 CompP out of bound: 32"},
        {{.adc = 4, .CompN = -1}, "ADC4 CompN out of bound: -1"},
        {{.adc = 4, .Slope = 8, .Cfix = 16}, "ADC4 Cfix out of bound: 16"},
        {{.adc = 4, .Slope = 8}, "ADC4 Slope out of bound: 8"},
        {{.adc = 4, .Coarse = 4}, "ADC4 Coarse out of bound: 4"},
        {{.adc = 4, .Fine = 4, .offset = 3, .threshold = 3}, "ADC4 Fine out of bound: 4"},
    };
    for (const auto& [calib, message] : cases) {
        log.clear();
        EXPECT_FALSE(cfg->probe_writeADCCalib(&calib)) << message;
        EXPECT_EQ(log.at(error), std::vector<std::string>{message});
    }
    EXPECT_EQ(cfg->base_config, before);
    EXPECT_EQ(cfg->adc_offset_threshold[4], (ProbeConfiguration::OffsetThreshold{0, 0}));
    EXPECT_THROW(cfg->probe_writeADCCalib(nullptr), std::invalid_argument);
}

// The simulated chip reads the images with its own decoder; both must agree
// on every field of every channel and ADC.
TEST_F(Np1Configuration, ImagesDecodeBackToTheModel) {
    for (int c = 0; c < 384; ++c) {
        const auto ch = static_cast<uint16_t>(c);
        ASSERT_TRUE(cfg->setGain(ch, c % 8, (c / 8) % 8));
        ASSERT_TRUE(cfg->probe_setStdb(ch, c % 3 == 0));
        ASSERT_TRUE(cfg->probe_setAPCornerFrequency(ch, c % 5 == 0));
        ASSERT_TRUE(cfg->probe_setReference(ch, static_cast<channelreference_t>(c % 3)));
    }
    for (int adc = 0; adc < 32; ++adc) {
        ADC_Calib calib{.adc = adc, .CompP = adc, .CompN = 31 - adc, .Slope = adc % 8, .Coarse = adc % 4,
                        .Fine = (adc / 4) % 4, .Cfix = adc % 16};
        ASSERT_TRUE(cfg->probe_writeADCCalib(&calib));
    }
    const auto decoded = pelionp::sim::np1_decode_base(base(0), base(1));
    ASSERT_TRUE(decoded);
    for (int c = 0; c < 384; ++c) {
        const auto& ch = decoded->channels[c];
        ASSERT_TRUE(ch.reference) << c;
        EXPECT_EQ(static_cast<int>(*ch.reference), c % 3) << c;
        EXPECT_EQ(ch.ap_gain, c % 8) << c;
        EXPECT_EQ(ch.lfp_gain, (c / 8) % 8) << c;
        EXPECT_EQ(ch.standby, c % 3 == 0) << c;
        EXPECT_EQ(ch.ap_highpass, c % 5 == 0) << c;
    }
    for (int adc = 0; adc < 32; ++adc) {
        const auto& t = decoded->adcs[adc];
        EXPECT_EQ(t, (pelionp::sim::NP1AdcTrims{adc, 31 - adc, adc % 8, (adc / 4) % 4, adc % 4, adc % 16})) << adc;
    }
}

TEST_F(Np1Configuration, CorrectionsFollowNewTablesOnlyAtTheNextChange) {
    auto ap = std::make_unique<pelionp::NP1::GainCalibrationTable>();
    auto lfp = std::make_unique<pelionp::NP1::GainCalibrationTable>();
    for (int code = 0; code < 8; ++code)
        for (int e = 0; e < 960; ++e) {
            (*ap)[code][e] = 1.0F + static_cast<float>(code) / 10 + static_cast<float>(e) / 10000;
            (*lfp)[code][e] = 2.0F + static_cast<float>(code) / 10 + static_cast<float>(e) / 10000;
        }
    cfg->set_gain_calibrations(*ap, *lfp);
    EXPECT_EQ(cfg->ap_gain_correction[30].load(), 1.0F);
    ASSERT_TRUE(cfg->setGain(30, 5, 3));
    EXPECT_EQ(cfg->ap_gain_correction[30].load(), (*ap)[5][30]);
    EXPECT_EQ(cfg->lfp_gain_correction[30].load(), (*lfp)[3][30]);
    EXPECT_EQ(cfg->ap_gain_correction[31].load(), 1.0F);
    ASSERT_TRUE(cfg->selectElectrode(31, 2, true));
    EXPECT_EQ(cfg->ap_gain_correction[31].load(), (*ap)[4][799]);
    EXPECT_EQ(cfg->lfp_gain_correction[31].load(), (*lfp)[0][799]);
}

}  // namespace
