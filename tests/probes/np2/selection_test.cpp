#include <set>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "pelionp/probes/np2/electrode_map.h"
#include "pelionp/probes/np2/np2003_np2004.h"
#include "pelionp/probes/np2/np2013_np2014.h"
#include "pelionp/probes/np2/selection.h"
#include "sim/board.h"
#include "tests/support/log_capture.h"

namespace {

using namespace pelionp::NP2;
using pelionp::channelreference_t;
using pelionp::PortIIC;
using pelionp::ProbeInfo;
using pelionp::UART;
using pelionp::test::LogCapture;
using Shanks = std::array<ShankConfig, MAX_SHANK_COUNT>;

TEST(NP2ElectrodeMap, SingleShankExamples) {
    EXPECT_EQ(single_shank_electrode(1, 1), 393u);
    EXPECT_EQ(single_shank_electrode(4, 1), 412u);
    EXPECT_EQ(single_shank_electrode(127, 3), 1251u);
    EXPECT_GE(single_shank_electrode(128, 3), ELECTRODE_COUNT);
    for (uint32_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) EXPECT_EQ(single_shank_electrode(c, 0), c);
}

TEST(NP2ElectrodeMap, SingleShankBanksPermuteEachBlockOf32) {
    for (uint32_t b = 0; b < BANK_COUNT; ++b) {
        for (uint32_t block = 0; block < PROBE_CHANNEL_COUNT / 32; ++block) {
            std::set<uint32_t> seen;
            for (uint32_t c = 32 * block; c < 32 * block + 32; ++c) seen.insert(single_shank_electrode(c, b));
            ASSERT_EQ(seen.size(), 32u) << "bank " << b << " block " << block;
            EXPECT_EQ(*seen.begin(), 384 * b + 32 * block);
            EXPECT_EQ(*seen.rbegin(), 384 * b + 32 * block + 31);
        }
    }
    // Bank 3 reaches the shank only for channels 0..127.
    for (uint32_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) EXPECT_EQ(single_shank_electrode(c, 3) < ELECTRODE_COUNT, c < 128) << c;
}

TEST(NP2ElectrodeMap, FourShankExamples) {
    EXPECT_EQ(four_shank_electrode(50, 1, 0), 2u);
    EXPECT_EQ(four_shank_electrode(0, 0, 2), 768u);
    EXPECT_EQ(four_shank_electrode(0, 0, 3), 1152u);
    EXPECT_GE(four_shank_electrode(100, 3, 3), ELECTRODE_COUNT);
}

TEST(NP2ElectrodeMap, FourShankBanksPermuteTheShankEachGroupOnOneBlock) {
    for (uint32_t s = 0; s < MAX_SHANK_COUNT; ++s) {
        for (uint32_t b = 0; b < BANK_COUNT; ++b) {
            std::set<uint32_t> seen;
            for (uint32_t c = 0; c < PROBE_CHANNEL_COUNT; ++c) {
                const uint32_t e = four_shank_electrode(c, s, b);
                seen.insert(e);
                // A group of 48 channels lands on one block of 48 electrodes, in order.
                EXPECT_EQ(e % 48, c % 48);
                EXPECT_EQ(e / 48, four_shank_electrode(c - c % 48, s, b) / 48);
            }
            ASSERT_EQ(seen.size(), PROBE_CHANNEL_COUNT);
            // Banks 0..2 each cover 384 consecutive electrodes; bank 3 starts at 1152.
            EXPECT_EQ(*seen.begin(), 384 * b) << "shank " << s;
            EXPECT_EQ(*seen.rbegin(), 384 * b + 383) << "shank " << s;
        }
    }
}

TEST(NP2SelectElectrode, SingleShankConnectsAndDisconnects) {
    ShankConfig shank;
    EXPECT_TRUE(select_electrode(shank, 1, 1, false));
    EXPECT_TRUE(select_electrode(shank, 1, 0, false));
    EXPECT_TRUE(shank.electrodes.test(393));
    EXPECT_TRUE(shank.electrodes.test(1));
    EXPECT_TRUE(select_electrode(shank, 1, 2, true));
    EXPECT_EQ(shank.electrodes.count(), 1u);
    EXPECT_TRUE(shank.electrodes.test(single_shank_electrode(1, 2)));
    EXPECT_TRUE(select_electrode(shank, 1, BANK_DISCONNECT, false));
    EXPECT_TRUE(shank.electrodes.none());
}

TEST(NP2SelectElectrode, SingleShankRefusals) {
    LogCapture log;
    ShankConfig shank;
    EXPECT_FALSE(select_electrode(shank, 384, 0, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid channel number: 384"));
    EXPECT_FALSE(select_electrode(shank, 0, 4, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid bank number: 4"));
    EXPECT_FALSE(select_electrode(shank, 0, 254, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid bank number: 254"));
    EXPECT_TRUE(shank.electrodes.none());

    // Bank 3 does not exist for channel 128, but exclusive has already
    // disconnected the channel's bank-0 electrode.
    ASSERT_TRUE(select_electrode(shank, 128, 0, false));
    EXPECT_FALSE(select_electrode(shank, 128, 3, true));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid electrode for channel 128 bank 3"));
    EXPECT_TRUE(shank.electrodes.none());
}

TEST(NP2SelectElectrode, FourShankExclusiveSpansShanksDisconnectOnlyItsOwn) {
    Shanks shanks{};
    ASSERT_TRUE(select_electrode(shanks, 50, 1, 0, false));
    ASSERT_TRUE(select_electrode(shanks, 50, 2, 0, false));
    EXPECT_TRUE(shanks[1].electrodes.test(2));
    // Bank 255 without exclusive: only shank 1.
    ASSERT_TRUE(select_electrode(shanks, 50, 1, BANK_DISCONNECT, false));
    EXPECT_TRUE(shanks[1].electrodes.none());
    EXPECT_EQ(shanks[2].electrodes.count(), 1u);
    // Exclusive: every shank.
    ASSERT_TRUE(select_electrode(shanks, 50, 3, 1, true));
    EXPECT_TRUE(shanks[2].electrodes.none());
    EXPECT_EQ(shanks[3].electrodes.count(), 1u);
    EXPECT_TRUE(shanks[3].electrodes.test(four_shank_electrode(50, 3, 1)));
}

TEST(NP2SelectElectrode, FourShankRefusals) {
    LogCapture log;
    Shanks shanks{};
    EXPECT_FALSE(select_electrode(shanks, 400, 0, 0, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid channel number: 400"));
    EXPECT_FALSE(select_electrode(shanks, 0, 4, 0, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid shank number: 4"));
    EXPECT_FALSE(select_electrode(shanks, 0, 0, 7, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid bank number: 7"));
    EXPECT_FALSE(select_electrode(shanks, 100, 3, 3, false));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid electrode for channel 100 shank 3 bank 3"));
    for (const auto& s : shanks) EXPECT_TRUE(s.electrodes.none());
    EXPECT_TRUE(select_electrode(shanks, 0, 0, 3, false));
    EXPECT_TRUE(shanks[0].electrodes.test(1152));
}

TEST(NP2SetReference, TableAndLastCallWinsPerShank) {
    ChannelConfigs channels{};
    ShankConfig shank;
    ASSERT_TRUE(set_reference(channels, shank, 10, REF_EXT));
    ASSERT_TRUE(set_reference(channels, shank, 11, REF_EXT));
    ASSERT_TRUE(set_reference(channels, shank, 12, REF_TIP));
    EXPECT_EQ(shank.reference, SHANK_SWITCH_TIP);
    EXPECT_EQ(channels[11].reference, 0);
    EXPECT_EQ(channels[12].reference, 1);
    ASSERT_TRUE(set_reference(channels, shank, 12, REF_LOCAL));
    EXPECT_EQ(channels[12].reference, 2);
    EXPECT_EQ(shank.reference, SHANK_SWITCH_NONE);
    ASSERT_TRUE(set_reference(channels, shank, 12, REF_EXT));
    ASSERT_TRUE(set_reference(channels, shank, 12, REF_NONE));
    EXPECT_EQ(channels[12].reference, 0);  // unchanged
    EXPECT_EQ(shank.reference, SHANK_SWITCH_NONE);
}

// Values that only narrow to an accepted code (259 -> 3, 256 -> 0, -1 ->
// 255) are refused, on both probe types, and change nothing.
TEST(NP2SetReference, ValuesOutsideTheTableAreRefusedWhole) {
    pelionp::sim::Board board;
    auto uart = UART::init(board);
    const PortIIC iic(0, uart);
    NP2003NP2004 single(ProbeIIC(Dock::DOCK0, iic), ProbeInfo{});
    NP2013NP2014 four(ProbeIIC(Dock::DOCK1, iic), ProbeInfo{});
    ASSERT_TRUE(single.setReference(5, channelreference_t::TIP_REF));
    ASSERT_TRUE(four.setReference(5, 1, channelreference_t::TIP_REF));
    ASSERT_TRUE(single.setReference(6, channelreference_t::LOCAL_REF));
    ASSERT_TRUE(four.setReference(6, 1, channelreference_t::NO_REF));

    pelionp::test::LogCapture log;
    for (const int32_t value : {259, 256, -1, 511, 2}) {
        const auto reference = static_cast<channelreference_t>(value);
        log.clear();
        EXPECT_FALSE(single.setReference(5, reference)) << value;
        EXPECT_FALSE(four.setReference(5, 1, reference)) << value;
        EXPECT_EQ(log.count_containing(fmt::format("Invalid reference value: {}", value)), 2u) << value;
    }
    EXPECT_EQ(single.channel_config[5].reference, 1);
    EXPECT_EQ(single.channel_config[6].reference, 2);
    EXPECT_EQ(single.shank_config.reference, SHANK_SWITCH_NONE);  // LOCAL_REF was the last accepted call
    EXPECT_EQ(four.channel_config[5].reference, 1);
    EXPECT_EQ(four.shank_config[1].reference, SHANK_SWITCH_NONE);
}

TEST(NP2SetReference, Refusals) {
    LogCapture log;
    ChannelConfigs channels{};
    Shanks shanks{};
    shanks[2].reference = SHANK_SWITCH_TIP;
    EXPECT_FALSE(set_reference(channels, shanks, 5, 2, 2));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid reference value: 2"));
    EXPECT_FALSE(set_reference(channels, shanks, 5, 4, REF_EXT));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid shank number: 4"));
    EXPECT_FALSE(set_reference(channels, shanks, 384, 0, REF_EXT));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid channel number: 384"));
    EXPECT_EQ(shanks[2].reference, SHANK_SWITCH_TIP);
    EXPECT_EQ(channels, ChannelConfigs{});

    ASSERT_TRUE(set_reference(channels, shanks, 5, 2, REF_EXT));
    EXPECT_EQ(shanks[2].reference, SHANK_SWITCH_EXTERNAL);
    EXPECT_EQ(shanks[1].reference, SHANK_SWITCH_NONE);
}

TEST(NP2SetStandby, Range) {
    LogCapture log;
    ChannelConfigs channels{};
    EXPECT_TRUE(set_standby(channels, 383, true));
    EXPECT_EQ(channels[383].standby, 1);
    EXPECT_FALSE(set_standby(channels, 384, true));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Invalid channel number: 384"));
}

}  // namespace
