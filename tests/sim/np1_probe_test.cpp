// The simulated NP1 probe chip on its own: register file, chain passes and
// SR_OUT_OK, decoding, faults.
#include <vector>

#include <gtest/gtest.h>

#include "sim/probes/np1_probe.h"
#include "sim/probes/np1_signal.h"

namespace {

using pelionp::sim::NP1ProbeChip;
using pelionp::sim::NP1Reference;

std::vector<uint8_t> reversed(std::vector<uint8_t> image) {
    for (auto& b : image) {
        uint8_t r = 0;
        for (int i = 0; i < 8; ++i) r |= static_cast<uint8_t>(((b >> i) & 1) << (7 - i));
        b = r;
    }
    return image;
}

void pass(NP1ProbeChip& chip, uint8_t chain, const std::vector<uint8_t>& wire, std::size_t announced = 0) {
    if (announced == 0) announced = wire.size();
    const uint8_t hi = static_cast<uint8_t>(announced >> 8), lo = static_cast<uint8_t>(announced);
    ASSERT_TRUE(chip.write(NP1ProbeChip::LENGTH_HIGH, std::vector<uint8_t>{hi}));
    ASSERT_TRUE(chip.write(NP1ProbeChip::LENGTH_LOW, std::vector<uint8_t>{lo}));
    for (auto b : wire) ASSERT_TRUE(chip.write(chain, std::vector<uint8_t>{b}));
}

bool sr_out_ok(NP1ProbeChip& chip) { return (chip.read(NP1ProbeChip::STATUS, 1).value().at(0) & 0x80) != 0; }

TEST(SimNp1Probe, RegisterFileAutoIncrementsAndRefusesTheRest) {
    NP1ProbeChip chip;
    ASSERT_TRUE(chip.write(0x02, std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_EQ(chip.read(0x02, 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_FALSE(chip.write(NP1ProbeChip::STATUS, std::vector<uint8_t>{0}));
    EXPECT_FALSE(chip.write(0x0A, std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(chip.read(NP1ProbeChip::CHAIN_SHANK, 1));
    EXPECT_FALSE(chip.read(0x11, 1));
    EXPECT_EQ(chip.writes(), (std::vector<NP1ProbeChip::Write>{{0x02, {0x11, 0x22, 0x33}}}));
}

TEST(SimNp1Probe, SrOutOkNeedsTheAnnouncedLengthTwiceTheSameImage) {
    NP1ProbeChip chip;
    std::vector<uint8_t> image(306, 0x5A);
    pass(chip, NP1ProbeChip::CHAIN_EVEN_CHANNELS, image);
    EXPECT_FALSE(sr_out_ok(chip)) << "a first pass has nothing to compare with";
    pass(chip, NP1ProbeChip::CHAIN_EVEN_CHANNELS, image);
    EXPECT_TRUE(sr_out_ok(chip));
    EXPECT_EQ(chip.chain_passes(NP1ProbeChip::CHAIN_EVEN_CHANNELS), 2);

    auto other = image;
    other[100] = 0;
    pass(chip, NP1ProbeChip::CHAIN_EVEN_CHANNELS, other);
    EXPECT_FALSE(sr_out_ok(chip)) << "shifted out the previous image";

    pass(chip, NP1ProbeChip::CHAIN_EVEN_CHANNELS, std::vector<uint8_t>(305, 0), 306);
    EXPECT_FALSE(sr_out_ok(chip)) << "short of the announced length";
    EXPECT_EQ(chip.chain_wire_image(NP1ProbeChip::CHAIN_EVEN_CHANNELS), other) << "an incomplete pass is not held";

    pass(chip, NP1ProbeChip::CHAIN_EVEN_CHANNELS, other);
    ASSERT_TRUE(chip.write(NP1ProbeChip::CHAIN_EVEN_CHANNELS, std::vector<uint8_t>{0}));
    EXPECT_FALSE(sr_out_ok(chip)) << "overrun";

    chip.set_never_sr_out_ok(true);
    pass(chip, NP1ProbeChip::CHAIN_ODD_CHANNELS, image);
    pass(chip, NP1ProbeChip::CHAIN_ODD_CHANNELS, image);
    EXPECT_FALSE(sr_out_ok(chip));
}

TEST(SimNp1Probe, DecodesChainsBackAndDrivesTheChannelMap) {
    NP1ProbeChip chip;
    EXPECT_EQ(chip.channel_map()->electrode[0], -1);
    std::vector<uint8_t> shank(121, 0);
    auto set = [&](int bit) { shank[bit / 8] |= static_cast<uint8_t>(1 << (bit % 8)); };
    set(485 + 434);  // electrode 868 (channel 100, bank 2)
    set(482 - 242);  // electrode 485 (channel 101, bank 1)
    set(485 + 50);   // electrode 100 as well: the lowest bank drives channel 100
    set(2);
    set(3);
    pass(chip, NP1ProbeChip::CHAIN_SHANK, reversed(shank));
    const auto s = chip.shank();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->electrodes_of(100), (std::vector<int>{100, 868}));
    EXPECT_EQ(s->electrodes_of(101), (std::vector<int>{485}));
    EXPECT_TRUE(s->external_reference[0]);
    EXPECT_FALSE(s->external_reference[1]);
    EXPECT_TRUE(s->internal_reference[2]);
    EXPECT_TRUE(s->connected[959]);
    EXPECT_EQ(chip.channel_map()->electrode[100], 100);
    EXPECT_EQ(chip.channel_map()->electrode[101], 485);
    EXPECT_EQ(chip.channel_map()->electrode[102], -1);

    std::vector<uint8_t> even(306, 0), odd(306, 0);
    even[72 + 1] = 0x40 | 0x05 | (3 << 3);  // channel 2: standby, AP 5, LFP 3
    even[(3 * 190) / 8] |= static_cast<uint8_t>(1 << ((3 * 190 + 1) % 8));  // channel 2 TIP
    pass(chip, NP1ProbeChip::CHAIN_EVEN_CHANNELS, reversed(even));
    pass(chip, NP1ProbeChip::CHAIN_ODD_CHANNELS, reversed(odd));
    const auto b = chip.base();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->channels[2].reference, NP1Reference::Tip);
    EXPECT_EQ(b->channels[2].ap_gain, 5);
    EXPECT_EQ(b->channels[2].lfp_gain, 3);
    EXPECT_TRUE(b->channels[2].standby);
    EXPECT_FALSE(b->channels[0].reference) << "no switch closed";
    EXPECT_TRUE(chip.channel_map()->standby[2]);
}

TEST(SimNp1Probe, FaultsRefuseAndStick) {
    NP1ProbeChip chip;
    EXPECT_FALSE(chip.write(0x07, std::vector<uint8_t>{1, 2})) << "runs into the status register";
    chip.set_stuck_read(0xAB);
    EXPECT_EQ(chip.read(NP1ProbeChip::SYNC, 1), (std::vector<uint8_t>{0xAB}));
}

TEST(SimNp1Probe, EepromAndSignalsAreDeterministic) {
    const auto image = pelionp::sim::np1_probe_eeprom({.serial = 0x0102030405060708ULL,
                                                       .version_major = 255,
                                                       .version_minor = 3,
                                                       .flex_pn = "FLEX",
                                                       .probe_pn = std::string(25, 'P')});
    EXPECT_EQ(image[0], 0x08);
    EXPECT_EQ(image[7], 0x01);
    EXPECT_EQ(image[10], 255);
    EXPECT_EQ(image[20], 'F');
    EXPECT_EQ(image[24], 0);
    EXPECT_EQ(image[59], 'P');
    EXPECT_EQ(image[60], 0) << "cut to the field";

    using pelionp::sim::np1_ap_code;
    using pelionp::sim::np1_lfp_code;
    EXPECT_EQ(np1_ap_code(1, 5, 1234), np1_ap_code(1, 5, 1234));
    int differ = 0;
    for (uint64_t t = 0; t < 100; ++t) differ += np1_ap_code(1, 5, t) != np1_ap_code(1, 389, t);
    EXPECT_GT(differ, 50) << "another bank shows another signal";
    for (uint64_t t = 0; t < 3000; ++t) {
        ASSERT_LE(np1_ap_code(7, 10, t), 1023);
        ASSERT_LE(np1_lfp_code(7, 10, t), 1023);
    }
}

}  // namespace
