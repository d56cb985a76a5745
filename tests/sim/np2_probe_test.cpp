#include <vector>

#include <gtest/gtest.h>

#include "sim/headstage.h"
#include "sim/probes/np2_probe.h"

namespace {

using pelionp::sim::NP2Probe;
using pelionp::sim::NP2ProbeChip;
using pelionp::sim::NP2ProbeIdentity;

void load(NP2ProbeChip& chip, uint8_t reg, const std::vector<uint8_t>& image, int passes = 2) {
    ASSERT_TRUE(chip.write(0x1D, std::vector<uint8_t>{static_cast<uint8_t>(image.size() & 0xFF)}));
    ASSERT_TRUE(chip.write(0x1C, std::vector<uint8_t>{static_cast<uint8_t>(image.size() >> 8)}));
    for (int p = 0; p < passes; ++p) ASSERT_TRUE(chip.write(reg, image));
}

uint8_t status(NP2ProbeChip& chip) { return chip.read(0x09, 1).value().at(0); }

TEST(SimNP2Probe, EepromLayout) {
    NP2Probe probe({0x0102030405060708ULL, 3, 255, "NPNH_FLEX", "NP2014"});
    const auto& e = probe.eeprom().memory();
    ASSERT_GE(e.size(), 96u);
    EXPECT_EQ(e[0], 0x08);
    EXPECT_EQ(e[7], 0x01);
    EXPECT_EQ(e[16], 3);
    EXPECT_EQ(e[17], 255);
    EXPECT_EQ(std::string(e.begin() + 32, e.begin() + 41), "NPNH_FLEX");
    EXPECT_EQ(e[41], 0);
    EXPECT_EQ(std::string(e.begin() + 64, e.begin() + 70), "NP2014");
    EXPECT_EQ(probe.chip().shank_count(), 4u);
    EXPECT_EQ(NP2Probe({1, 0, 0, "", "np2014"}).chip().shank_count(), 1u);

    const auto full = pelionp::sim::np2_probe_eeprom_image({1, 0, 0, "", std::string(40, 'X')});
    EXPECT_EQ(std::string(full.begin() + 64, full.end()), std::string(32, 'X'));
    EXPECT_EQ(full.size(), 96u);
}

TEST(SimNP2Probe, SrOutOkNeedsTwoEqualLoadsOfTheChainLength) {
    NP2ProbeChip chip(1);
    std::vector<uint8_t> image(161, 0x5A);
    load(chip, 0x1B, image, 1);
    EXPECT_EQ(status(chip), 0x00);  // old contents (zeros) shifted out
    ASSERT_TRUE(chip.write(0x1B, image));
    EXPECT_EQ(status(chip), 0x80);

    // Split across transactions: still one stream of bits.
    image[3] = 0x11;
    load(chip, 0x1B, image, 0);  // length registers only
    ASSERT_TRUE(chip.write(0x1B, std::vector<uint8_t>(image.begin(), image.begin() + 100)));
    ASSERT_TRUE(chip.write(0x1B, std::vector<uint8_t>(image.begin() + 100, image.end())));
    EXPECT_EQ(status(chip), 0x00);
    ASSERT_TRUE(chip.write(0x1B, image));
    EXPECT_EQ(status(chip), 0x80);
    EXPECT_EQ(chip.chain_image(0x1B), image);

    // A length register that disagrees with the chain never verifies.
    std::vector<uint8_t> base(96, 0x44);
    ASSERT_TRUE(chip.write(0x1C, std::vector<uint8_t>{0x01}));
    ASSERT_TRUE(chip.write(0x17, base));
    ASSERT_TRUE(chip.write(0x17, base));
    EXPECT_EQ(status(chip), 0x00);

    chip.set_sr_out_stuck(true);
    load(chip, 0x17, base);
    EXPECT_EQ(status(chip), 0x00);
}

TEST(SimNP2Probe, RegisterFileAndRefusals) {
    NP2ProbeChip single(1), four(4);
    EXPECT_FALSE(single.write(0x18, std::vector<uint8_t>{0}));
    EXPECT_TRUE(four.write(0x18, std::vector<uint8_t>{0}));
    EXPECT_FALSE(single.write(0x09, std::vector<uint8_t>{0x80}));
    EXPECT_FALSE(single.read(0x16, 1));
    EXPECT_FALSE(single.read(0x0B, 1));
    ASSERT_TRUE(single.write(0x02, std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(single.read(0x01, 4).value(), (std::vector<uint8_t>{0, 1, 2, 3}));
    EXPECT_FALSE(single.write(0x08, std::vector<uint8_t>{1, 2}));  // would reach the status register
    EXPECT_EQ(single.register_value(0x08), 0);

    single.set_write_fault([](uint8_t reg, auto) { return reg == 0x05; });
    EXPECT_FALSE(single.write(0x05, std::vector<uint8_t>{1}));
    EXPECT_TRUE(single.write(0x06, std::vector<uint8_t>{1}));
    EXPECT_EQ(single.writes().back().reg, 0x06);
}

TEST(SimNP2Probe, DecodesBaseAndShankChains) {
    NP2ProbeChip chip(4);
    std::vector<uint8_t> even(96, 0x44), odd(96, 0x44);
    odd[95] = 0x49;   // channel 1: standby, code 2; channel 3 default
    even[0] = 0x92;   // channel 380 code 1; channel 382 standby code 2
    even[50] = 0x40;  // channel 180: broken group
    load(chip, 0x17, even);
    load(chip, 0x16, odd);
    const auto ch = chip.channels();
    EXPECT_TRUE(ch[1].standby);
    EXPECT_EQ(ch[1].reference, 2);
    EXPECT_FALSE(ch[3].standby);
    EXPECT_EQ(ch[3].reference, 0);
    EXPECT_EQ(ch[380].reference, 1);
    EXPECT_TRUE(ch[382].standby);
    EXPECT_EQ(ch[180].reference, std::nullopt);

    std::vector<uint8_t> shank(161, 0);
    shank[80] = 0x04 | 0x18 | 0x20;  // electrode 0, tip switches, electrode 1
    load(chip, 0x1A, shank);         // shank 1
    auto s = chip.shank(1);
    EXPECT_EQ(s.electrodes.count(), 2u);
    EXPECT_TRUE(s.electrodes.test(0));
    EXPECT_TRUE(s.electrodes.test(1));
    EXPECT_EQ(s.switch_selector, 1);
    shank[80] = 0x08;  // half a tip pair
    load(chip, 0x1A, shank);
    EXPECT_EQ(chip.shank(1).switch_selector, std::nullopt);
    EXPECT_TRUE(chip.shank(0).electrodes.none());
}

TEST(SimNP2Probe, SignalFollowsConnectionsStandbyIsFlat) {
    NP2Probe probe({77, 1, 0, "", "NP2003"});
    auto flat = probe.superframe(5);
    for (uint16_t v : flat) EXPECT_EQ(v, 2048);

    auto& chip = probe.chip();
    std::vector<uint8_t> base(96, 0x44);
    base[95] = 0x4C;  // channel 0 standby, channel 2 live
    load(chip, 0x17, base);
    std::vector<uint8_t> shank(161, 0);
    shank[80] = 0x04;  // electrode 0
    shank[81] = 0x80;  // electrode 6 (position 648)
    load(chip, 0x1B, shank);
    const auto sources = chip.sources();
    EXPECT_FALSE(sources[0]);  // standby
    ASSERT_TRUE(sources[6]);
    EXPECT_EQ(sources[6]->electrode, 6);
    for (uint64_t f = 0; f < 50; ++f) {
        const auto codes = probe.superframe(f);
        EXPECT_EQ(codes[0], 2048);
        EXPECT_EQ(codes[6], pelionp::sim::np2_electrode_signal(77, 0, 6, f));
        EXPECT_EQ(codes[7], 2048);
    }
    // The signal moves and differs between electrodes.
    EXPECT_NE(pelionp::sim::np2_electrode_signal(77, 0, 6, 0), pelionp::sim::np2_electrode_signal(77, 0, 6, 500));
    EXPECT_NE(pelionp::sim::np2_electrode_signal(77, 0, 6, 9), pelionp::sim::np2_electrode_signal(77, 1, 6, 9));
}

}  // namespace

namespace {

TEST(SimNP2Probe, DockedProbesAnswerOnlyWhileTheirDockIsRouted) {
    using namespace pelionp::sim;
    Headstage hs(true);
    hs.set_supply_order_enforced(false);  // routing only: the supply order is tested on the board
    NP2Probe single({11, 1, 0, "", "NP2003"}), four({22, 1, 0, "", "NP2013"});
    single.dock_into(hs.dock(0));
    four.dock_into(hs.dock(1));
    ASSERT_TRUE(hs.serializer().write(0x04, std::vector<uint8_t>{0x43}));  // configuration link

    auto read_serial_byte = [&] {
        return hs.transfer(Transaction{.address = 0xA1, .is_read = true, .reg = 0, .count = 1, .data = {}});
    };
    auto write_sync = [&](uint8_t v) {
        return hs.transfer(Transaction{.address = 0x20, .is_read = false, .reg = 0x0A, .count = 0, .data = {v}});
    };
    EXPECT_FALSE(read_serial_byte());  // no routing yet
    ASSERT_TRUE(hs.serializer().write(0x0F, std::vector<uint8_t>{0xFF}));  // dock 0
    EXPECT_EQ(read_serial_byte(), (Bytes{11}));
    ASSERT_TRUE(write_sync(0xAB));
    ASSERT_TRUE(hs.serializer().write(0x0F, std::vector<uint8_t>{0xFD}));  // dock 1
    EXPECT_EQ(read_serial_byte(), (Bytes{22}));
    ASSERT_TRUE(write_sync(0x55));
    EXPECT_EQ(single.chip().register_value(0x0A), 0xAB);
    EXPECT_EQ(four.chip().register_value(0x0A), 0x55);
}

}  // namespace
