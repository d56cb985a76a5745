// NP1::Probe against the simulated probe: init, uploads decoded back by the
// chip, read-check failures per chain, modes and self tests.
#include <gtest/gtest.h>

#include "pelionp/controller/stream_id.h"
#include "pelionp/probes/np1/image_bits.h"
#include "tests/probes/np1/sim_probe_fixture.h"
#include "tests/support/log_capture.h"

namespace {

using pelionp::channelreference_t;
using pelionp::probe_opmode_t;
using pelionp::testinputmode_t;
using pelionp::NP1::Probe;
using pelionp::sim::NP1ProbeChip;
using pelionp::test::LogCapture;
using Write = NP1ProbeChip::Write;
constexpr auto error = spdlog::level::err;
constexpr auto debug = spdlog::level::debug;

class Np1Probe : public pelionp::test::SimNp1Probe {};

TEST_F(Np1Probe, InitReadsTheEepromZeroesControlsAndStartsRecording) {
    auto probe = Probe::init(serializer());
    ASSERT_TRUE(probe) << probe.error();
    const auto& info = (*probe)->info;
    EXPECT_EQ(info.serial, 0x0000000431A2B3C4ULL);
    EXPECT_EQ(info.version_major, "3");
    EXPECT_EQ(info.version_minor, "255");
    EXPECT_EQ(info.flex_pn, "NP2_FLEX_0");
    EXPECT_EQ(info.probe_pn, "PRB_1_4_0480_1");
    EXPECT_EQ(hs.chip->writes(), (std::vector<Write>{
                                     {0x00, {0}}, {0x02, {0}}, {0x03, {0}}, {0x04, {0}}, {0x05, {0}}, {0x06, {0}},
                                     {0x07, {0}}, {0x09, {0}}, {0x01, {0x10}}, {0x01, {0x30}}, {0x01, {0xD0}}}));
    EXPECT_EQ(hs.chip->chain_passes(NP1ProbeChip::CHAIN_SHANK), 0) << "init does not upload";
    EXPECT_EQ(pelionp::get_stream_id(std::ref(**probe)), pelionp::demux::SID::NP1_PORT2);
}

TEST_F(Np1Probe, InitSkipsTheResetReleaseWhenItIsAlreadySet) {
    hs.chip->poke(NP1ProbeChip::REC_MODE, 0x1F);
    ASSERT_TRUE(Probe::init(serializer()));
    const auto writes = hs.chip->writes();
    ASSERT_EQ(writes.size(), 10U);
    EXPECT_EQ(writes[8], (Write{0x01, {0x3F}}));
    EXPECT_EQ(writes[9], (Write{0x01, {0xDF}}));
}

TEST_F(Np1Probe, InitFailuresNameTheirStep) {
    nack_probe_register(0x04);
    auto r = Probe::init(serializer());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Failed to write to probe register [04] I2C::write ACK error");
    board.clear_nacks(PORT);

    nack_probe_register(NP1ProbeChip::REC_MODE, true, false);
    r = Probe::init(serializer());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Failed to read REC_MODE register: I2C::read ACK error");
    board.clear_nacks(PORT);

    // Two refused attempts are retried; a third is the end.
    hs.chip->poke(NP1ProbeChip::REC_MODE, 0x00);
    board.nack(PORT, {.address = 0xE0, .reg = NP1ProbeChip::REC_MODE, .reads = false, .count = 2});
    EXPECT_TRUE(Probe::init(serializer()));
    board.clear_nacks(PORT);
    hs.chip->poke(NP1ProbeChip::REC_MODE, 0x00);
    board.nack(PORT, {.address = 0xE0, .reg = NP1ProbeChip::REC_MODE, .reads = false, .count = 3});
    r = Probe::init(serializer());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Failed to write REC_MODE register after 3 attempts: I2C::write ACK error");
    board.clear_nacks(PORT);

    hs.chip->poke(NP1ProbeChip::REC_MODE, 0x10);
    board.nack(PORT, {.address = 0xE0, .reg = NP1ProbeChip::REC_MODE, .reads = false, .count = std::nullopt});
    r = Probe::init(serializer());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "Failed to write REC_MODE register: I2C::write ACK error");
    board.clear_nacks(PORT);

    board.nack(PORT, {.address = 0xA0, .reg = std::nullopt, .count = std::nullopt});
    r = Probe::init(serializer());
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().starts_with("Failed to read eeprom: ")) << r.error();
}

TEST_F(Np1Probe, UploadReachesTheChipAsTheModelSaysBitReversed) {
    auto probe = make_probe();
    ASSERT_TRUE(probe->selectElectrode(100, 2, true));
    ASSERT_TRUE(probe->selectElectrode(300, 1, true));
    ASSERT_TRUE(probe->selectElectrode(5, 255, true));
    ASSERT_TRUE(probe->setReference(7, channelreference_t::INT_REF, 1));
    ASSERT_TRUE(probe->setReference(8, channelreference_t::TIP_REF, 1));
    ASSERT_TRUE(probe->setGain(9, 6, 2));
    ASSERT_TRUE(probe->probe_setStdb(10, true));
    ASSERT_TRUE(probe->probe_setAPCornerFrequency(11, true));
    pelionp::ADC_Calib calib{.adc = 13, .CompP = 3, .CompN = 30, .Slope = 5, .Coarse = 1, .Fine = 2, .Cfix = 9};
    ASSERT_TRUE(probe->probe_writeADCCalib(&calib));

    LogCapture log;
    const auto result = probe->apply_shift_register_config(true);
    EXPECT_TRUE(result.shank) << result.shank.error();
    EXPECT_TRUE(result.base0) << result.base0.error();
    EXPECT_TRUE(result.base1) << result.base1.error();
    EXPECT_TRUE(log.contains(spdlog::level::info, "[ASIC Bug Workaround] readcheck on SR_CHAIN1 ignored 0"));
    EXPECT_TRUE(log.contains(debug, "Uploading 121 bytes to SR chain at address 0E with readcheck=false"));
    EXPECT_TRUE(log.contains(debug, "Uploading 306 bytes to SR chain at address 0D with readcheck=true"));
    EXPECT_TRUE(log.contains(spdlog::level::info,
                             "1 channels have internal references selected. Connecting to internal reference bank 1"));

    // The wire: lengths, then every image byte bit-reversed, one per write;
    // the base chains twice.
    const auto writes = hs.chip->writes();
    ASSERT_EQ(writes.size(), 2 + 121 + 2 * (2 + 306) * 2U);
    EXPECT_EQ(writes[0], (Write{0x0F, {0x00}}));
    EXPECT_EQ(writes[1], (Write{0x10, {121}}));
    EXPECT_EQ(writes[2], (Write{0x0E, {0x20}})) << "image byte 0x04 (external reference 1) travels as 0x20";
    EXPECT_EQ(writes[123], (Write{0x0F, {0x01}}));
    EXPECT_EQ(writes[124], (Write{0x10, {0x32}}));
    EXPECT_EQ(writes[125 + 306], (Write{0x0F, {0x01}})) << "second pass of the read check";
    for (std::size_t i = 0; i < 121; ++i)
        ASSERT_EQ(writes[2 + i].bytes[0], pelionp::NP1::image_bits::reverse(probe->shank_config[i])) << i;

    // What the chip decodes equals what the library was told.
    const auto shank = hs.chip->shank();
    ASSERT_TRUE(shank);
    for (int e = 0; e < 960; ++e) ASSERT_EQ(shank->connected[e], probe->getshankconfigbit(e) != 0) << e;
    EXPECT_TRUE(shank->connected[868]);
    EXPECT_FALSE(shank->connected[100]);
    EXPECT_TRUE(shank->connected[684]);
    EXPECT_TRUE(shank->electrodes_of(5).empty());
    EXPECT_EQ(shank->external_reference, (std::array<bool, 2>{true, true}));
    EXPECT_EQ(shank->tip_reference, (std::array<bool, 2>{true, true}));
    EXPECT_EQ(shank->internal_reference, (std::array<bool, 3>{false, true, false}));
    const auto base = hs.chip->base();
    ASSERT_TRUE(base);
    EXPECT_EQ(base->channels[7].reference, pelionp::sim::NP1Reference::Internal);
    EXPECT_EQ(base->channels[8].reference, pelionp::sim::NP1Reference::Tip);
    EXPECT_EQ(base->channels[6].reference, pelionp::sim::NP1Reference::External);
    EXPECT_EQ(base->channels[9].ap_gain, 6);
    EXPECT_EQ(base->channels[9].lfp_gain, 2);
    EXPECT_EQ(base->channels[0].ap_gain, 4);
    EXPECT_TRUE(base->channels[10].standby);
    EXPECT_FALSE(base->channels[11].standby);
    EXPECT_TRUE(base->channels[11].ap_highpass);
    EXPECT_EQ(base->adcs[13], (pelionp::sim::NP1AdcTrims{3, 30, 5, 2, 1, 9}));
    EXPECT_EQ(base->adcs[12], (pelionp::sim::NP1AdcTrims{16, 16, 0, 0, 0, 0}));
}

TEST_F(Np1Probe, ReadCheckFailuresAreReportedPerChain) {
    auto probe = make_probe();
    hs.chip->set_never_sr_out_ok(true);
    auto r = probe->apply_shift_register_config(false);
    EXPECT_TRUE(r.shank);
    ASSERT_FALSE(r.base0);
    EXPECT_EQ(r.base0.error(), "SR configuration failed, SR_OUT_OK != 1 Status=00");
    ASSERT_FALSE(r.base1);
    EXPECT_EQ(r.base1.error(), "SR configuration failed, SR_OUT_OK != 1 Status=00");
    hs.chip->set_never_sr_out_ok(false);

    nack_probe_register(NP1ProbeChip::CHAIN_EVEN_CHANNELS);
    r = probe->apply_shift_register_config(false);
    EXPECT_TRUE(r.shank);
    ASSERT_FALSE(r.base0);
    EXPECT_EQ(r.base0.error(), "Failed to write SR chain data: I2C::write ACK error");
    EXPECT_TRUE(r.base1) << "every chain is attempted";
    board.clear_nacks(PORT);

    nack_probe_register(NP1ProbeChip::STATUS);
    hs.chip->clear_writes();
    const auto bist = probe->bist_shift_register();
    EXPECT_TRUE(bist.shank);
    ASSERT_FALSE(bist.base0);
    EXPECT_EQ(bist.base0.error(), "Failed to read SR readback status: I2C::read ACK error");
    board.clear_nacks(PORT);
    // The self test's fixed pattern reached the shank chain: bytes 36..84 set.
    const auto pattern = hs.chip->chain_wire_image(NP1ProbeChip::CHAIN_SHANK);
    ASSERT_TRUE(pattern);
    for (std::size_t i = 0; i < 121; ++i) ASSERT_EQ((*pattern)[i], i >= 36 && i <= 84 ? 0xFF : 0x00) << i;

    nack_probe_register(NP1ProbeChip::LENGTH_HIGH);
    r = probe->apply_shift_register_config(false);
    for (const auto* chain : {&r.shank, &r.base0, &r.base1}) {
        ASSERT_FALSE(*chain);
        EXPECT_EQ(chain->error(), "Failed to write SR chain length: I2C::write ACK error");
    }
}

TEST_F(Np1Probe, ModesWriteTheirRegisters) {
    auto probe = make_probe();
    LogCapture log;
    struct Case {
        probe_opmode_t mode;
        uint8_t byte;
        const char* name;
    };
    for (auto [mode, byte, name] : {Case{probe_opmode_t::RECORDING, 0x40, "RECORDING"},
                                    Case{probe_opmode_t::CALIBRATION, 0x60, "CALIBRATION"},
                                    Case{probe_opmode_t::DIGITAL_TEST, 0x50, "DIGITAL_TEST"},
                                    Case{probe_opmode_t::CALIBRATION_TEST, 0x68, "CALIBRATION_TEST"}}) {
        ASSERT_TRUE(probe->setOPMODE(mode));
        EXPECT_EQ(hs.chip->peek(NP1ProbeChip::OP_MODE), byte);
        EXPECT_TRUE(log.contains(debug, fmt::format("Setting OP mode to {} (NP_Probe_Control_Module::setOPMODE)", name)));
    }
    hs.chip->clear_writes();
    EXPECT_FALSE(probe->setOPMODE(static_cast<probe_opmode_t>(4)));
    EXPECT_TRUE(log.contains(error, "invalid opmode parameter : 4"));
    EXPECT_FALSE(probe->setCALMODE(static_cast<testinputmode_t>(-1)));
    EXPECT_TRUE(log.contains(error, "invalid parameter mode: -1"));
    EXPECT_TRUE(hs.chip->writes().empty());

    hs.chip->poke(NP1ProbeChip::CAL_MODE, 0x9F);
    ASSERT_TRUE(probe->setCALMODE(testinputmode_t::ADC_MODE));
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::CAL_MODE), 0x3F);
    EXPECT_TRUE(log.contains(debug, "Setting calibration mode to ADC_MODE"));
    hs.chip->poke(NP1ProbeChip::CAL_MODE, 0xA0);
    ASSERT_TRUE(probe->setTestSignal(true));
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::CAL_MODE), 0xB0);
    EXPECT_TRUE(log.contains(spdlog::level::info, "Turning on test signal in NP1 Probe"));
    ASSERT_TRUE(probe->setTestSignal(false));
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::CAL_MODE), 0xA0);
    ASSERT_TRUE(probe->setTestConfig(true));
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::TEST_CONFIG1), 1);
    ASSERT_TRUE(probe->setTestConfig(false));
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::TEST_CONFIG1), 0);

    nack_probe_register(NP1ProbeChip::OP_MODE);
    nack_probe_register(NP1ProbeChip::CAL_MODE);
    nack_probe_register(NP1ProbeChip::TEST_CONFIG1);
    EXPECT_FALSE(probe->setOPMODE(probe_opmode_t::RECORDING));
    EXPECT_TRUE(log.contains(error, "Failed to write OP_MODE register: I2C::write ACK error"));
    EXPECT_FALSE(probe->setCALMODE(testinputmode_t::NONE));
    EXPECT_TRUE(log.contains(error, "Failed to set CAL_MODE register: I2C::read ACK error"));
    EXPECT_FALSE(probe->setTestSignal(true));
    EXPECT_TRUE(log.contains(error, "Failed to set test signal: I2C::read ACK error"));
    EXPECT_FALSE(probe->setTestConfig(true));
    EXPECT_TRUE(log.contains(error, "Failed to write TEST_CONFIG1 register: I2C::write ACK error"));
}

TEST_F(Np1Probe, I2cSelfTestStopsAtTheFirstMismatch) {
    auto probe = make_probe();
    EXPECT_TRUE(probe->bist_iic());
    EXPECT_EQ(hs.chip->writes(), (std::vector<Write>{{0x09, {0xFF}}, {0x09, {0xAB}}, {0x09, {0x55}}, {0x09, {0x00}}}));

    LogCapture log;
    hs.chip->clear_writes();
    hs.chip->set_stuck_read(0xAB);
    EXPECT_FALSE(probe->bist_iic());
    EXPECT_TRUE(log.contains(debug, "I2C BIST failed. Wrote FF, read AB"));
    EXPECT_EQ(hs.chip->writes().size(), 1U);
    hs.chip->set_stuck_read(std::nullopt);

    nack_probe_register(NP1ProbeChip::SYNC, true, false);
    EXPECT_FALSE(probe->bist_iic());
    EXPECT_TRUE(log.contains(error, "Failed to read SYNC register: I2C::read ACK error"));
    board.clear_nacks(PORT);
    nack_probe_register(NP1ProbeChip::SYNC);
    EXPECT_FALSE(probe->bist_iic());
    EXPECT_TRUE(log.contains(error, "Failed to write SYNC register: I2C::write ACK error"));
}

TEST_F(Np1Probe, PsbSelfTestWritesInOrderAndStopsAtAFailure) {
    auto probe = make_probe();
    EXPECT_EQ(probe->bist_PSB(), 0);
    EXPECT_EQ(hs.chip->writes(), (std::vector<Write>{{0x01, {0xD0}}, {0x02, {0}}, {0x03, {0}}, {0x04, {0}},
                                                     {0x05, {0}}, {0x06, {0}}, {0x07, {0}}, {0x00, {0x50}}}));
    hs.chip->clear_writes();
    LogCapture log;
    nack_probe_register(0x05);
    EXPECT_EQ(probe->bist_PSB(), -1);
    EXPECT_TRUE(log.contains(error, "Failed to write to probe register [05]: I2C::write ACK error"));
    EXPECT_EQ(hs.chip->writes().size(), 4U) << "OP_MODE is not written";
}

TEST_F(Np1Probe, ChannelPixelAndOffSequences) {
    auto probe = make_probe();
    LogCapture log;
    EXPECT_EQ(probe->bist_channel(), 0);
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::CAL_MODE), 0x50);
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::OP_MODE), 0x60);
    EXPECT_EQ(probe->bist_pixel(), 0);
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::CAL_MODE), 0x90);
    EXPECT_TRUE(log.contains(spdlog::level::info,
                             "4+5.Set the CAL bit in the OP_MODE register to 1. Set the REC bit in the OP_MODE register to 1"));
    EXPECT_EQ(probe->bist_off(), 0);
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::CAL_MODE), 0x00);
    EXPECT_EQ(hs.chip->peek(NP1ProbeChip::OP_MODE), 0x40);

    nack_probe_register(NP1ProbeChip::OP_MODE);
    EXPECT_EQ(probe->bist_channel(), 0) << "step failures are only logged";
    EXPECT_TRUE(log.contains(error, "Failed to write OP_MODE register: I2C::write ACK error"));
}

TEST_F(Np1Probe, ShiftRegisterSelfTestLeavesTheConfigurationAlone) {
    auto probe = make_probe();
    const auto shank = probe->shank_config;
    const auto base = probe->base_config;
    hs.chip->set_never_sr_out_ok(true);
    const auto r = probe->bist_shift_register();
    EXPECT_TRUE(r.shank);
    EXPECT_FALSE(r.base0);
    EXPECT_FALSE(r.base1);
    EXPECT_EQ(probe->shank_config, shank);
    EXPECT_EQ(probe->base_config, base);
    hs.chip->set_never_sr_out_ok(false);
    const auto ok = probe->bist_shift_register();
    EXPECT_TRUE(ok.shank && ok.base0 && ok.base1);
}

TEST(Np1ProbeStream, PortsOutsideZeroToThreeHaveNoStream) {
    EXPECT_EQ(Probe::stream_of_port(0), pelionp::demux::SID::NP1_PORT0);
    EXPECT_EQ(Probe::stream_of_port(3), pelionp::demux::SID::NP1_PORT3);
    for (int port : {-1, 4}) {
        try {
            Probe::stream_of_port(port);
            ADD_FAILURE() << port;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Invalid port for NP1 probe");
        }
    }
}

}  // namespace
