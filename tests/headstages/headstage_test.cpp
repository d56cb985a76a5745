// NP1 and NP2 headstages, the headstage EEPROM and the NP2 dock routing, run
// through the real link code against the simulated board.
#include <gtest/gtest.h>

#include "pelionp/headstages/headstage_eeprom.h"
#include "pelionp/headstages/np1_headstage.h"
#include "pelionp/headstages/np2_headstage.h"
#include "pelionp/links/probe_iic.h"
#include "pelionp/probes/probe_info.h"
#include "sim/board.h"
#include "sim/headstages/np_headstages.h"
#include "tests/support/log_capture.h"

namespace {

using namespace pelionp;

/// One port of the simulated board brought up to the configuration link.
struct Linked {
    std::shared_ptr<sim::Board> board = std::make_shared<sim::Board>();
    UART uart = UART::init(*board);
    std::shared_ptr<sim::Headstage> headstage;
    std::optional<SerDesState> state;

    explicit Linked(std::shared_ptr<sim::Headstage> hs) : headstage(std::move(hs)) {
        board->plug(0, headstage);
        auto link = DisconnectedSerDes::init(PortIIC(0, uart));
        if (!link) throw std::runtime_error(link.error());
        state.emplace(std::move(*link));
        if (auto r = try_make_connected(*state, Preemphasis::None); !r) throw std::runtime_error(r.error());
    }
    ConfigLinkedSerDes& link() { return std::get<ConfigLinkedSerDes>(*state); }
    sim::EepromChip& eeprom() { return *sim::headstage_eeprom(*headstage); }
    uint8_t gpio() { return headstage->serializer().peek(0x0F); }
};

std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

TEST(HeadstagePartNumber, DecodingStopsAtZeroAndMasksUnprintables) {
    EXPECT_EQ(decode_hs_part_number(std::vector<uint8_t>{0, 'A', 'B'}), "");
    EXPECT_EQ(decode_hs_part_number(std::vector<uint8_t>{'A', 0x80, 'B', 0x1F, 0x7E, 0x7F, 0, 'C'}), "A?B?~?");
    EXPECT_EQ(decode_hs_part_number(bytes_of("ABCDEFGHIJKLMNOPQRST")), "ABCDEFGHIJKLMNOPQRST");
}

TEST(NP1Headstage, InitSetsGpioAndReadsTwentyBytePartNumber) {
    Linked rig(sim::make_np1_headstage("NP1_HS_30"));
    auto headstage = NP1::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value()) << headstage.error();
    EXPECT_EQ(headstage->part_number, "NP1_HS_30");
    EXPECT_EQ(rig.headstage->serializer().peek(0x0E), 0x42);
    EXPECT_EQ(rig.gpio(), 0xC0);
    EXPECT_EQ(rig.headstage->serializer().peek(0x07) & 0x90, 0x10);  // input mode off, edge on
    EXPECT_EQ(headstage->probe, nullptr);

    rig.eeprom().load(0x0A, bytes_of("ABCDEFGHIJKLMNOPQRSTUV"));  // longer than the field
    EXPECT_EQ(NP1::readHSPN(headstage->serializer), "ABCDEFGHIJKLMNOPQRST");
    rig.eeprom().load(0x0A, std::vector<uint8_t>{0});
    EXPECT_EQ(NP1::readHSPN(headstage->serializer), "");
}

TEST(NP1Headstage, InitFailureNamesTheStep) {
    Linked rig(sim::make_np1_headstage());
    rig.board->nack(0, sim::NackRule::chip(0xA4));
    auto headstage = NP1::Headstage::init(rig.link());
    ASSERT_FALSE(headstage.has_value());
    EXPECT_EQ(headstage.error(), "Failed to read part number: I2C::write ACK error");
}

TEST(NP1Headstage, LedFollowsGpioBitOneAndFailuresAreLogged) {
    Linked rig(sim::make_np1_headstage());
    auto headstage = NP1::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value());
    headstage->setHSLed(false);
    EXPECT_EQ(rig.gpio(), 0xC2);
    EXPECT_FALSE(sim::np1_led_lit(*rig.headstage));
    headstage->setHSLed(true);
    EXPECT_TRUE(sim::np1_led_lit(*rig.headstage));

    test::LogCapture log;
    rig.board->unplug(0);
    headstage->setHSLed(false);
    EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to set serializer register 0x0F: I2C::write ACK error"));
}

TEST(HeadstageSelfTest, PassesAndRestoresTheCell) {
    Linked rig(sim::make_np1_headstage());
    rig.eeprom().load(0x40, std::vector<uint8_t>{0x3C});
    auto headstage = NP1::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value());
    EXPECT_TRUE(headstage->bist_eeprom().has_value());
    EXPECT_EQ(rig.eeprom().memory()[0x40], 0x3C);
}

TEST(HeadstageSelfTest, AnEepromIgnoringWritesFailsAtTheFirstPattern) {
    Linked rig(sim::make_np1_headstage());
    rig.eeprom().load(0x40, std::vector<uint8_t>{0x3C});
    auto headstage = NP1::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value());
    rig.eeprom().set_write_protect(true);
    auto result = headstage->bist_eeprom();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "EEPROM readback mismatch: wrote 55, read 3C");
}

TEST(HeadstageSelfTest, Np2UsesTwoByteAddresses) {
    Linked rig(sim::make_np2_headstage());
    auto headstage = NP2::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value()) << headstage.error();
    rig.eeprom().load(0x0040, std::vector<uint8_t>{0x11});
    rig.eeprom().load(0x4000, std::vector<uint8_t>{0x22});  // where a swapped address would land
    EXPECT_TRUE(headstage->bist_eeprom().has_value());
    EXPECT_EQ(rig.eeprom().memory()[0x0040], 0x11);
    EXPECT_EQ(rig.eeprom().memory()[0x4000], 0x22);

    rig.board->nack(0, sim::NackRule::chip(0xA4));
    auto failed = headstage->bist_eeprom();
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), "Failed to read EEPROM: I2C::write ACK error");
}

TEST(NP2Headstage, InitPowersUpAndReadsThirtyTwoBytePartNumber) {
    Linked rig(sim::make_np2_headstage(std::string(32, 'P')));
    auto headstage = NP2::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value()) << headstage.error();
    EXPECT_EQ(headstage->part_number, std::string(32, 'P'));
    EXPECT_EQ(rig.headstage->serializer().peek(0x0E), 0x7E);
    EXPECT_EQ(rig.gpio(), 0xED);
    EXPECT_EQ(rig.headstage->serializer().writes(0x0F), 4u);  // 0xC1, 0xC9, 0xE9, 0xED
    EXPECT_TRUE(rig.headstage->docks_powered());  // the supplies came up in the order the probes need
    EXPECT_EQ(rig.headstage->serializer().peek(0x07) & 0x90, 0x80);  // input mode on, edge off
}

TEST(NP2Headstage, LatePowerUpWritesAreBestEffort) {
    Linked rig(sim::make_np2_headstage("HS"));
    rig.board->nack(0, sim::NackRule::chip(0x80).at(0x0F).writes_only().after_matches(1));
    auto headstage = NP2::Headstage::init(rig.link());
    ASSERT_TRUE(headstage.has_value()) << headstage.error();
    EXPECT_EQ(headstage->part_number, "HS");
    EXPECT_FALSE(rig.headstage->docks_powered());  // the supplies never came on
}

struct DockRouting : ::testing::Test {
    DockRouting() {
        auto powered = NP2::Headstage::init(rig.link());  // the docks answer only once powered up
        if (!powered) throw std::runtime_error(powered.error());
    }

    Linked rig{sim::make_np2_headstage()};
    PortIIC port{0, rig.uart};

    void set_gpio(uint8_t value) { rig.headstage->serializer().poke(0x0F, value); }
};

TEST_F(DockRouting, RoutingBitsFollowTheDock) {
    NP2::ProbeIIC dock0(NP2::Dock::DOCK0, port), dock1(NP2::Dock::DOCK1, port), dock7(NP2::Dock{7}, port);
    const std::array<std::tuple<uint8_t, NP2::ProbeIIC*, uint8_t>, 5> cases{{
        {0xED, &dock0, 0xFF},
        {0xED, &dock1, 0xFD},
        {0x00, &dock0, 0x12},
        {0x00, &dock1, 0x10},
        {0x00, &dock7, 0x10},
    }};
    for (auto [before, handle, after] : cases) {
        set_gpio(before);
        ASSERT_TRUE(handle->iic_control().has_value());
        EXPECT_EQ(rig.gpio(), after) << std::hex << int(before);
    }
}

TEST_F(DockRouting, ProbeTransactionsReachOnlyTheSelectedDock) {
    auto probe0 = std::make_shared<sim::EepromChip>(1, 256), probe1 = std::make_shared<sim::EepromChip>(1, 256);
    probe0->load(0, std::vector<uint8_t>{0xA0});
    probe1->load(0, std::vector<uint8_t>{0xA1});
    rig.headstage->dock(0).attach(0x20, probe0);
    rig.headstage->dock(1).attach(0x20, probe1);
    NP2::ProbeIIC dock0(NP2::Dock::DOCK0, port), dock1(NP2::Dock::DOCK1, port);
    EXPECT_EQ(dock1.read(0x20, 0, 1), std::vector<uint8_t>{0xA1});
    EXPECT_EQ(dock0.read(0x20, 0, 1), std::vector<uint8_t>{0xA0});
}

TEST_F(DockRouting, AFailedDockWriteStacksThreeContextsAndSparesTheProbe) {
    rig.board->nack(0, sim::NackRule::chip(0x80).at(0x0F).writes_only());
    rig.board->record_frames(true);
    NP2::ProbeIIC dock0(NP2::Dock::DOCK0, port);
    auto read = dock0.read(0x20, 0, 1);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(),
              "Failed to set IIC control: Failed to select I2C dock: Failed to select I2C bank:I2C::write ACK error");
    for (const auto& frame : rig.board->frames()) EXPECT_NE(frame.frame.at(1) & 0xFE, 0x20);
}

TEST(ProbeInfo, DecodesBothLayouts) {
    std::vector<uint8_t> np1(80, 0);
    for (int i = 0; i < 8; ++i) np1[i] = static_cast<uint8_t>(i + 1);
    np1[10] = 0xFF;
    np1[11] = 7;
    std::ranges::copy(std::string_view("FLEX"), np1.begin() + 20);
    std::ranges::copy(std::string(20, 'P'), np1.begin() + 40);
    auto info = decode_probe_eeprom(np1, NP1_PROBE_EEPROM);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->serial, 0x0807060504030201u);
    EXPECT_EQ(info->version_major, "255");
    EXPECT_EQ(info->version_minor, "7");
    EXPECT_EQ(info->flex_pn, "FLEX");
    EXPECT_EQ(info->probe_pn, std::string(20, 'P'));

    std::vector<uint8_t> np2(96, 0);
    np2[0] = 42;
    np2[16] = 2;
    np2[17] = 1;
    std::ranges::copy(std::string(32, 'F'), np2.begin() + 32);
    std::ranges::copy(std::string_view("NP2013"), np2.begin() + 64);
    info = decode_probe_eeprom(np2, NP2_PROBE_EEPROM);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->serial, 42u);
    EXPECT_EQ(info->version_major + "." + info->version_minor, "2.1");
    EXPECT_EQ(info->flex_pn, std::string(32, 'F'));
    EXPECT_EQ(info->probe_pn, "NP2013");

    auto short_image = decode_probe_eeprom(std::span(np2).first(95), NP2_PROBE_EEPROM);
    ASSERT_FALSE(short_image.has_value());
    EXPECT_EQ(short_image.error(), "Probe EEPROM image too short: 95 bytes, expected 96");
}

}  // namespace
