// The NP2 probe library against the simulated probe: what the library was
// told must be what the probe chains hold, register by register.
#include <sstream>
#include <stdexcept>

#include <array>
#include <expected>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "pelionp/probes/np2/bist_patterns.h"
#include "pelionp/probes/np2/stream_id_np2.h"
#include "tests/probes/np2/probe_fixture.h"
#include "tests/support/gate.h"
#include "tests/support/log_capture.h"

namespace {

using namespace pelionp;
using namespace pelionp::NP2;
using pelionp::test::LogCapture;
using NP2ProbeOnBoard = pelionp::test::NP2ProbeBoard;
using Write = sim::NP2ProbeChip::Write;

constexpr auto LOCAL_REF = channelreference_t{3};

// The simulated probe's view of the channels, in the library's terms.
ChannelConfigs decoded_channels(const sim::NP2ProbeChip& chip) {
    ChannelConfigs out{};
    const auto states = chip.channels();
    for (std::size_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) {
        EXPECT_TRUE(states[c].reference.has_value()) << "channel " << c;
        out[c] = {static_cast<uint8_t>(states[c].standby), states[c].reference.value_or(0xFF)};
    }
    return out;
}

ShankConfig decoded_shank(const sim::NP2ProbeChip& chip, std::size_t s) {
    const auto state = chip.shank(s);
    EXPECT_TRUE(state.switch_selector.has_value()) << "shank " << s;
    return {state.electrodes, state.switch_selector.value_or(0xFF)};
}

TEST_F(NP2ProbeOnBoard, InitBuildsTheVariantOfEachDock) {
    auto p0 = init_or_fail(Dock::DOCK0);
    auto p1 = init_or_fail(Dock::DOCK1);
    ASSERT_TRUE(p0 && p1);
    ASSERT_EQ(p0->index(), 0u);
    ASSERT_EQ(p1->index(), 1u);
    const auto& info = std::get<NP2003NP2004>(*p0).info;
    EXPECT_EQ(info.serial, 0x1122334455667788ULL);
    EXPECT_EQ(info.probe_pn, "NP2003");
    EXPECT_EQ(info.flex_pn, "NPNH_HS_30");
    EXPECT_EQ(info.version_major, "2");
    EXPECT_EQ(info.version_minor, "1");
    // Recording state, reached through the listed sequence.
    EXPECT_EQ(single.chip().register_value(0x00), 0x40);
    EXPECT_EQ(single.chip().register_value(0x01), 0xC8);
    EXPECT_EQ(four.chip().register_value(0x00), 0x40);
    const auto writes = single.chip().writes();
    ASSERT_EQ(writes.size(), 13u);
    const std::vector<std::pair<uint8_t, uint8_t>> expected{{0x00, 0x00}, {0x01, 0x08}, {0x02, 0}, {0x03, 0},
                                                           {0x04, 0},    {0x05, 0},    {0x06, 0}, {0x07, 0},
                                                           {0x08, 0},    {0x01, 0xC8}, {0x00, 0}, {0x01, 0xC8},
                                                           {0x00, 0x40}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(writes[i].reg, expected[i].first) << i;
        EXPECT_EQ(writes[i].data, std::vector<uint8_t>{expected[i].second}) << i;
    }
    EXPECT_EQ(get_stream_id_np2(std::get<NP2013NP2014>(*p1)), demux::SID::NP2_PORT0_DOCK1);
}

// Both docks set up at once from two threads, many times: each probe's
// EEPROM must be read while its own dock is routed (the simulated bus
// answers only for the routed dock, so a crossed read returns the other
// probe's serial and part number).
TEST_F(NP2ProbeOnBoard, BothDocksSetUpFromTwoThreadsEachReadItsOwnEeprom) {
    constexpr int ROUNDS = 12;
    int crossed = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        std::array<std::expected<ProbeHandle, std::string>, 2> made{std::unexpected(std::string("not run")),
                                                                    std::unexpected(std::string("not run"))};
        {
            test::Gate go;
            std::jthread first([&] {
                go.wait();
                made[0] = NP2::init(serializer, Dock::DOCK0);
            });
            std::jthread second([&] {
                go.wait();
                made[1] = NP2::init(serializer, Dock::DOCK1);
            });
            go.open();
        }
        ASSERT_TRUE(made[0]) << made[0].error();
        ASSERT_TRUE(made[1]) << made[1].error();
        const auto serial = [](const ProbeHandle& probe) {
            return std::visit([](const auto& p) { return p.info.serial; }, *probe);
        };
        if (serial(*made[0]) != 0x1122334455667788ULL || serial(*made[1]) != 0x0102030405060708ULL) ++crossed;
        EXPECT_EQ((*made[0])->index(), 0u) << "round " << round;
        EXPECT_EQ((*made[1])->index(), 1u) << "round " << round;
    }
    EXPECT_EQ(crossed, 0) << "rounds whose EEPROM reads crossed docks";
}

TEST(NP2PartNumbers, TableIsExact) {
    for (const char* pn : {"NP2010", "NP2013", "NP2014", "PRB2_4_2_0640_0"}) EXPECT_EQ(variant_index_of_part_number(pn), 1u);
    for (const char* pn : {"NP2000", "NP2003", "NP2004", "PRB2_1_2_0640_0"}) EXPECT_EQ(variant_index_of_part_number(pn), 0u);
    for (const char* pn : {"np2014", "NP2003 ", "NP2", "", "PRB2_4_2_0640_0X"}) EXPECT_FALSE(variant_index_of_part_number(pn));
}

TEST_F(NP2ProbeOnBoard, InitRefusals) {
    // Lower case and unknown part numbers.
    single.eeprom().load(64, std::vector<uint8_t>{'n', 'p', '2', '0', '0', '3'});
    auto refused = NP2::init(serializer, Dock::DOCK0);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Unknown probe part number: np2003");
    std::vector<uint8_t> full(32, 'Z');
    single.eeprom().load(64, full);
    refused = NP2::init(serializer, Dock::DOCK0);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Unknown probe part number: " + std::string(32, 'Z'));

    // A failing register write names its register; nothing after it is written.
    four.chip().set_write_fault([](uint8_t reg, auto) { return reg == 0x05; });
    LogCapture log;
    refused = NP2::init(serializer, Dock::DOCK1);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().starts_with("Failed to initialize probe: Failed to write to probe register [05] "))
        << refused.error();
    EXPECT_TRUE(log.contains(spdlog::level::warn, refused.error().substr(std::string("Failed to initialize probe: ").size()).insert(0, "Failed to initialize as multi-shank probe: ")));
    EXPECT_EQ(four.chip().writes().back().reg, 0x04);

    // EEPROM missing: nothing is built.
    headstage->dock(1).detach(0xA0);
    refused = NP2::init(serializer, Dock::DOCK1);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().starts_with("Failed to read eeprom: ")) << refused.error();
}

TEST_F(NP2ProbeOnBoard, InitSurvivesAFailingSetOpMode) {
    single.chip().set_write_fault(
        [](uint8_t reg, std::span<const uint8_t> data) { return reg == 0x00 && data.size() == 1 && data[0] == 0x40; });
    LogCapture log;
    auto probe = init_or_fail(Dock::DOCK0);
    EXPECT_TRUE(probe);
    EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to write OP_MODE register: I2C::write ACK error"));
}

TEST_F(NP2ProbeOnBoard, UploadMatchesWhatTheLibraryWasToldBothVariants) {
    auto p0 = init_or_fail(Dock::DOCK0);
    auto p1 = init_or_fail(Dock::DOCK1);
    ASSERT_TRUE(p0 && p1);
    auto& s = std::get<NP2003NP2004>(*p0);
    auto& f = std::get<NP2013NP2014>(*p1);
    for (uint16_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) {
        ASSERT_TRUE(s.selectElectrode(c, static_cast<uint8_t>(c % 3), true));
        ASSERT_TRUE(f.selectElectrode(c, static_cast<uint8_t>(c % 4), static_cast<uint8_t>(c % 2), true));
    }
    ASSERT_TRUE(s.setReference(7, LOCAL_REF));
    ASSERT_TRUE(s.setReference(8, channelreference_t::TIP_REF));
    ASSERT_TRUE(s.setStdb(9, true));
    ASSERT_TRUE(f.setReference(10, 0, channelreference_t::EXT_REF));
    ASSERT_TRUE(f.setReference(11, 1, channelreference_t::TIP_REF));
    ASSERT_TRUE(f.setReference(12, 3, LOCAL_REF));
    ASSERT_TRUE(f.setStdb(383, true));

    for (bool readcheck : {false, true}) {
        const auto rs = s.apply_shift_register_config(readcheck);
        EXPECT_TRUE(rs.base.even && rs.base.odd && rs.shank);
        const auto rf = f.apply_shift_register_config(readcheck);
        EXPECT_TRUE(rf.base.even && rf.base.odd);
        for (const auto& r : rf.shanks) EXPECT_TRUE(r) << r.error();

        EXPECT_EQ(decoded_channels(single.chip()), s.channel_config);
        EXPECT_EQ(decoded_shank(single.chip(), 0), s.shank_config);
        EXPECT_EQ(decoded_channels(four.chip()), f.channel_config);
        for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(decoded_shank(four.chip(), k), f.shank_config[k]) << k;
    }
    EXPECT_EQ(s.shank_config.reference, SHANK_SWITCH_TIP);
    EXPECT_EQ(f.shank_config[0].reference, SHANK_SWITCH_EXTERNAL);
    EXPECT_EQ(f.shank_config[3].reference, SHANK_SWITCH_NONE);
}

TEST_F(NP2ProbeOnBoard, UploadWritesLengthOnceThenPiecesOf250) {
    auto p0 = init_or_fail(Dock::DOCK0);
    ASSERT_TRUE(p0);
    auto& probe = std::get<NP2003NP2004>(*p0);
    single.chip().clear_writes();
    std::vector<uint8_t> block(300);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
    LogCapture log;
    auto r = upload_sr_block(probe, 0x1B, block, true);
    ASSERT_FALSE(r);
    // 300 bytes never fit the 161-byte chain, so the comparator disagrees.
    EXPECT_EQ(r.error(), "SR configuration failed, SR_OUT_OK != 1 Status=00");
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Uploading SR block to probe at address 1B, size: 300"));
    const auto w = single.chip().writes();
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[0].reg, 0x1D);
    EXPECT_EQ(w[0].data, std::vector<uint8_t>{44});
    EXPECT_EQ(w[1].reg, 0x1C);
    EXPECT_EQ(w[1].data, std::vector<uint8_t>{1});
    for (std::size_t pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(w[2 + 2 * pass].data, std::vector<uint8_t>(block.begin(), block.begin() + 250));
        EXPECT_EQ(w[3 + 2 * pass].data, std::vector<uint8_t>(block.begin() + 250, block.end()));
        EXPECT_EQ(w[2 + 2 * pass].reg, 0x1B);
    }
}

TEST_F(NP2ProbeOnBoard, UploadFailuresNameTheirStep) {
    auto p0 = init_or_fail(Dock::DOCK0);
    ASSERT_TRUE(p0);
    auto& probe = std::get<NP2003NP2004>(*p0);
    single.chip().set_sr_out_stuck(true);
    auto r = probe.apply_shift_register_config(true);
    EXPECT_EQ(r.base.even.error(), "SR configuration failed, SR_OUT_OK != 1 Status=00");
    EXPECT_FALSE(r.base.odd);
    EXPECT_FALSE(r.shank);
    r = probe.apply_shift_register_config(false);
    EXPECT_TRUE(r.base.even && r.base.odd && r.shank);
    single.chip().set_sr_out_stuck(false);

    single.chip().set_write_fault([](uint8_t reg, auto) { return reg == 0x1C; });
    r = probe.apply_shift_register_config(false);
    EXPECT_EQ(r.shank.error(), "Failed to write SR chain length high byte: I2C::write ACK error");
    single.chip().set_write_fault([n = 0](uint8_t reg, auto) mutable { return reg == 0x17 && ++n == 2; });
    r = probe.apply_shift_register_config(true);
    EXPECT_EQ(r.base.even.error(), "Failed to write SR chain I2C::write ACK error with verify");
    EXPECT_TRUE(r.base.odd) << r.base.odd.error();
}

TEST_F(NP2ProbeOnBoard, BistShiftRegisterKeepsTheStoredConfiguration) {
    auto p0 = init_or_fail(Dock::DOCK0);
    auto p1 = init_or_fail(Dock::DOCK1);
    ASSERT_TRUE(p0 && p1);
    auto& s = std::get<NP2003NP2004>(*p0);
    auto& f = std::get<NP2013NP2014>(*p1);
    ASSERT_TRUE(s.selectElectrode(3, 1, true));
    ASSERT_TRUE(f.selectElectrode(3, 2, 1, true));
    ASSERT_TRUE(f.setReference(3, 2, channelreference_t::TIP_REF));
    const auto s_channels = s.channel_config;
    const auto s_shank = s.shank_config;
    const auto f_channels = f.channel_config;
    const auto f_shanks = f.shank_config;

    const auto rs = s.bist_shift_register();
    EXPECT_TRUE(rs.base.even && rs.base.odd && rs.shank);
    const auto rf = f.bist_shift_register();
    EXPECT_TRUE(rf.base.even && rf.base.odd);
    for (const auto& r : rf.shanks) EXPECT_TRUE(r);

    EXPECT_EQ(s.channel_config, s_channels);
    EXPECT_EQ(s.shank_config, s_shank);
    EXPECT_EQ(f.channel_config, f_channels);
    EXPECT_EQ(f.shank_config, f_shanks);
    // The probes hold the test patterns.
    EXPECT_EQ(decoded_channels(single.chip()), bist_channel_pattern());
    EXPECT_EQ(decoded_shank(single.chip(), 0), bist_single_shank_pattern());
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(decoded_shank(four.chip(), k), bist_four_shank_pattern(k));
}

TEST_F(NP2ProbeOnBoard, ModesAndSelfTest) {
    auto p0 = init_or_fail(Dock::DOCK0);
    ASSERT_TRUE(p0);
    auto& probe = std::get<NP2003NP2004>(*p0);
    auto& chip = single.chip();
    chip.clear_writes();
    ASSERT_TRUE(probe.setOPMODE(probe_opmode_t::DIGITAL_TEST));
    auto w = chip.writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].reg, 0x01);
    EXPECT_EQ(w[0].data, std::vector<uint8_t>{0xC9});
    EXPECT_EQ(w[1].reg, 0x00);
    EXPECT_EQ(w[1].data, std::vector<uint8_t>{0x50});

    LogCapture log;
    EXPECT_FALSE(probe.setOPMODE(probe_opmode_t{4}));
    EXPECT_TRUE(log.contains(spdlog::level::err, "invalid opmode parameter : 4"));

    ASSERT_TRUE(chip.write(0x02, std::vector<uint8_t>{0x3F | 0x40}));
    chip.clear_writes();
    EXPECT_FALSE(probe.setCALMODE(testinputmode_t::ADC_MODE));
    EXPECT_TRUE(log.contains(spdlog::level::err, "invalid parameter mode in ProbeControl::setCALMODE: 3"));
    EXPECT_TRUE(chip.writes().empty());
    ASSERT_TRUE(probe.setCALMODE(testinputmode_t::PIXEL_MODE));
    EXPECT_EQ(chip.register_value(0x02), 0xBF);
    EXPECT_TRUE(log.contains(spdlog::level::info, "Setting calibration mode to PIXEL_MODE "));
    ASSERT_TRUE(probe.setCALMODE(testinputmode_t::NONE));
    EXPECT_EQ(chip.register_value(0x02), 0x3F);

    ASSERT_TRUE(probe.setTestConfig(true));
    EXPECT_EQ(chip.register_value(0x03), 1);

    EXPECT_TRUE(probe.bist_iic());
    EXPECT_EQ(chip.register_value(0x0A), 0x00);
    chip.set_write_fault([](uint8_t reg, std::span<const uint8_t> d) { return reg == 0x0A && d[0] == 0x55; });
    EXPECT_FALSE(probe.bist_iic());
    EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to write SYNC register: I2C::write ACK error"));
}

TEST_F(NP2ProbeOnBoard, GainCalibrationKeepsThePreviousTableOnError) {
    auto p0 = init_or_fail(Dock::DOCK0);
    ASSERT_TRUE(p0);
    auto& probe = std::get<NP2003NP2004>(*p0);
    std::string good = "123\n";
    for (int c = 0; c < 384; ++c) good += std::to_string(c) + ",0.5\n";
    std::istringstream in(good);
    ASSERT_TRUE(probe.load_gain_calibration(in));
    EXPECT_EQ(probe.gain_factor(200), 0.5f);
    std::istringstream bad("123\n0,2.0\n2,2.0\n");
    EXPECT_EQ(probe.load_gain_calibration(bad).error(), "Channels out of order or missing: expected 1, got 2");
    EXPECT_EQ(probe.gain_factor(0), 0.5f);
}

TEST(NP2StreamId, PortAndDock) {
    EXPECT_EQ(np2_stream_id(2, Dock::DOCK1), demux::SID{14});
    EXPECT_EQ(np2_stream_id(3, Dock::DOCK0), demux::SID{11});
    EXPECT_EQ(np2_stream_id(3, Dock{7}), demux::SID{15});
    try {
        (void)np2_stream_id(4, Dock::DOCK0);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid port for NP2 probe");
    }
}

}  // namespace

namespace {

TEST_F(NP2ProbeOnBoard, RawSetsBecomeGainCorrectedSetsAndResetClears) {
    auto p1 = init_or_fail(Dock::DOCK1);
    ASSERT_TRUE(p1);
    auto& probe = std::get<NP2013NP2014>(*p1);
    std::string table = "1\n";
    for (int c = 0; c < 384; ++c) table += std::to_string(c) + "," + (c == 5 ? "1.5" : "0.25") + "\n";
    std::istringstream in(table);
    ASSERT_TRUE(probe.load_gain_calibration(in));

    RawAPData raw{};
    raw.timestamp = 0xABCDEF;
    for (std::size_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) raw.samples[c] = static_cast<uint16_t>(c * 10);
    raw.samples[5] = 4095;
    probe.stream().on_raw_ap(raw);
    EXPECT_EQ(probe.stream().counters().packets, 1u);
    APData set{};
    ASSERT_TRUE(probe.stream().packets().try_dequeue(set));
    EXPECT_EQ(set.timestamp, 0xABCDEFu);
    EXPECT_EQ(set.samples[0], -512);             // -2048 x 0.25
    EXPECT_EQ(set.samples[5], 3070);             // 2047 x 1.5 = 3070.5, truncated
    EXPECT_EQ(set.samples[7], (70 - 2048) / 4);  // -494.5 truncated toward zero
    probe.stream().on_raw_ap(raw);
    probe.stream().reset_output();
    EXPECT_EQ(probe.stream().counters().packets, 0u);
    EXPECT_EQ(probe.stream().packets().size_approx(), 0u);
}

}  // namespace
