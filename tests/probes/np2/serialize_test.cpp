#include <stdexcept>

#include <gtest/gtest.h>

#include "pelionp/probes/np2/bist_patterns.h"
#include "pelionp/probes/np2/config.h"

namespace {

using namespace pelionp::NP2;

std::size_t popcount(const auto& bytes) {
    std::size_t n = 0;
    for (uint8_t b : bytes) n += static_cast<std::size_t>(__builtin_popcount(b));
    return n;
}

TEST(NP2BaseImage, DefaultChannelsCarryReferenceCodeZeroOnly) {
    const auto blocks = serialize_for_sr(ChannelConfigs{});
    for (const auto& block : blocks)
        for (uint8_t byte : block) EXPECT_EQ(byte, 0x44);
}

TEST(NP2BaseImage, ChannelOneStandbyLocalSitsLowInLastByteOfOddBlock) {
    ChannelConfigs channels{};
    channels[1] = {1, 2};
    const auto blocks = serialize_for_sr(channels);
    EXPECT_EQ(blocks[1][95], 0x49);  // low half 0x9, high half channel 3 default 0x4
    EXPECT_EQ(blocks[0][95], 0x44);
}

TEST(NP2BaseImage, EveryChannelHasItsOwnNibble) {
    // Probe one channel at a time: its nibble alone must change, where the
    // layout says (block c mod 2, byte 95 - c/4, high half when c/2 is odd).
    const auto base = serialize_for_sr(ChannelConfigs{});
    for (std::size_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) {
        ChannelConfigs channels{};
        channels[c] = {1, 1};
        auto blocks = serialize_for_sr(channels);
        const std::size_t block = c % 2, byte = 95 - c / 4;
        const unsigned shift = (c / 2) % 2 ? 4 : 0;
        ASSERT_EQ((blocks[block][byte] >> shift) & 0xF, 0xA) << "channel " << c;
        blocks[block][byte] = static_cast<uint8_t>((blocks[block][byte] & ~(0xF << shift)) | (0x4 << shift));
        ASSERT_EQ(blocks, base) << "channel " << c << " touched another nibble";
    }
}

TEST(NP2BaseImage, CornerChannels) {
    ChannelConfigs channels{};
    channels[0] = {1, 0};
    channels[2] = {0, 2};
    channels[380] = {0, 1};
    channels[382] = {1, 2};
    const auto blocks = serialize_for_sr(channels);
    EXPECT_EQ(blocks[0][95], 0x1C);
    EXPECT_EQ(blocks[0][0], 0x92);
}

TEST(NP2BaseImage, UnknownReferenceCodeThrows) {
    ChannelConfigs channels{};
    channels[200].reference = 3;
    try {
        (void)serialize_for_sr(channels);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown base config reference type");
    }
}

TEST(NP2ShankImage, ElectrodeZeroAlone) {
    ShankConfig shank;
    shank.electrodes.set(0);
    const auto image = serialize_for_sr(shank);
    EXPECT_EQ(image[80], 0x04);
    EXPECT_EQ(popcount(image), 1u);
}

TEST(NP2ShankImage, ReferenceSwitches) {
    ShankConfig tip;
    tip.reference = SHANK_SWITCH_TIP;
    auto image = serialize_for_sr(tip);
    EXPECT_EQ(image[80], 0x18);
    EXPECT_EQ(popcount(image), 2u);

    ShankConfig ext;
    ext.reference = SHANK_SWITCH_EXTERNAL;
    image = serialize_for_sr(ext);
    EXPECT_EQ(image[0], 0x20);
    EXPECT_EQ(image[160], 0x04);
    EXPECT_EQ(popcount(image), 2u);
}

TEST(NP2ShankImage, ElectrodePositionsAreDistinctAndAvoidReservedBits) {
    std::array<int, 1288> owner;
    owner.fill(-1);
    for (std::size_t e = 0; e < ELECTRODE_COUNT; ++e) {
        ShankConfig shank;
        shank.electrodes.set(e);
        const auto image = serialize_for_sr(shank);
        ASSERT_EQ(popcount(image), 1u);
        std::size_t pos = 0;
        while (!(image[pos / 8] & (0x80 >> (pos % 8)))) ++pos;
        ASSERT_EQ(owner[pos], -1) << "electrodes " << owner[pos] << " and " << e << " share position " << pos;
        owner[pos] = static_cast<int>(e);
    }
    EXPECT_EQ(owner[645], 0);
    EXPECT_EQ(owner[1284], 1278);
    EXPECT_EQ(owner[642], 1);
    EXPECT_EQ(owner[3], 1279);
    for (std::size_t reserved : {0, 1, 2, 643, 644, 1285, 1286, 1287}) EXPECT_EQ(owner[reserved], -1) << reserved;
}

TEST(NP2ShankImage, AllElectrodesAndExternalSwitchesFillAllButFourBits) {
    ShankConfig shank;
    shank.electrodes.set();
    shank.reference = SHANK_SWITCH_EXTERNAL;
    const auto image = serialize_for_sr(shank);
    EXPECT_EQ(popcount(image), 1282u);
    EXPECT_EQ(image[0], 0x3F);
    EXPECT_EQ(image[160], 0xFC);
    EXPECT_EQ(image[80], 0xE7);  // 640..647 with 643, 644 open
}

TEST(NP2BistPatterns, FourShankPatternsFollowTheirModulus) {
    EXPECT_EQ(bist_four_shank_pattern(0).electrodes.count(), 640u);
    EXPECT_EQ(bist_four_shank_pattern(1).electrodes.count(), 427u);
    EXPECT_EQ(bist_four_shank_pattern(2).electrodes.count(), 320u);
    EXPECT_EQ(bist_four_shank_pattern(3).electrodes.count(), 256u);
    EXPECT_EQ(bist_four_shank_pattern(0).reference, SHANK_SWITCH_EXTERNAL);
    EXPECT_EQ(bist_four_shank_pattern(1).reference, SHANK_SWITCH_TIP);
    EXPECT_EQ(bist_four_shank_pattern(3).reference, SHANK_SWITCH_NONE);
    const auto channels = bist_channel_pattern();
    EXPECT_EQ(channels[4], (ChannelConfig{1, 1}));
    EXPECT_EQ(channels[5], (ChannelConfig{0, 2}));
}

}  // namespace
