#include <gtest/gtest.h>

#include "pelionp/decoders/gain.h"
#include "pelionp/decoders/np1_demux_worker.h"
#include "pelionp/decoders/np1_packet_assembly.h"
#include "pelionp/decoders/np2_demux_worker.h"
#include "pelionp/decoders/np2_gain_conversion.h"
#include "tests/support/log_capture.h"

namespace pelionp {
namespace {

using spdlog::level::warn;

TEST(GainCorrection, TruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(to_sample_i16(2.9f), 2);
    EXPECT_EQ(to_sample_i16(-2.9f), -2);
    EXPECT_EQ(to_sample_i16(51200.0f), 32767);
    EXPECT_EQ(to_sample_i16(-40000.0f), -32768);
    EXPECT_EQ(to_sample_i16(std::numeric_limits<float>::quiet_NaN()), 0);
}

struct NP1Assembly : ::testing::Test {
    test::LogCapture log;
    std::unique_ptr<electrodePacket> packet = std::make_unique<electrodePacket>();
    NP1::ElectrodePacketQueue queue;
    std::array<float, 384> gain{};

    NP1Assembly() {
        std::memset(packet.get(), 0, sizeof *packet);
        for (int c = 0; c < 384; ++c) gain[c] = 0.5f + 0.25f * (c % 4);
    }
    static NP1::APData ap(uint8_t index, bool complete, uint16_t code, uint64_t ts = 0x1234) {
        NP1::APData d{ts, index, complete, {}};
        std::ranges::fill(d.samples, code);
        return d;
    }
    // Returns how many packets were queued over one superframe.
    int superframe(bool complete, std::size_t max = NP1::PACKET_QUEUE_MAX_ELEMENTS) {
        int queued = 0;
        for (uint8_t k = 0; k < 12; ++k) queued += NP1::store_ap_data(*packet, ap(k, complete || k != 11, 100 + k, 0xAB00 + k), gain, queue, max);
        return queued;
    }
};

TEST_F(NP1Assembly, FillsThePacketAndQueuesItAtIndexEleven) {
    NP1::LPData lfp{7, {}};
    std::ranges::fill(lfp.samples, uint16_t{1000});
    NP1::store_lfp_data(*packet, lfp, gain);
    ASSERT_EQ(superframe(true), 1);
    electrodePacket out;
    ASSERT_TRUE(queue.try_dequeue(out));
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(out.timestamps[k], 0xAB00u + k);
        for (int c = 0; c < 384; ++c) ASSERT_EQ(out.ap[k][c], static_cast<int16_t>((512 - 100 - k) * gain[c]));
    }
    for (int c = 0; c < 384; ++c) ASSERT_EQ(out.lfp[c], static_cast<int16_t>(-488 * gain[c]));
    EXPECT_TRUE(log.at(warn).empty());
}

TEST_F(NP1Assembly, IncompleteSuperframeIsDroppedAndTheNextOneQueued) {
    EXPECT_EQ(superframe(false), 0);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Dropping incomplete electrode packet at timestamp 000000000000AB0B"});
    EXPECT_EQ(superframe(true), 1);
    EXPECT_EQ(queue.size_approx(), 1u);
}

TEST_F(NP1Assembly, FullQueueDropsWithoutGrowing) {
    EXPECT_EQ(NP1::PACKET_QUEUE_MAX_ELEMENTS, 131072u);
    EXPECT_EQ(superframe(true, 2), 1);
    EXPECT_EQ(superframe(true, 2), 1);
    EXPECT_EQ(superframe(true, 2), 0);
    EXPECT_EQ(queue.size_approx(), 2u);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Queue is full, dropping packet at timestamp 000000000000AB0B"});
}

// The queue is looked at before a superframe's sets are converted: one that
// begins at a full queue leaves the packet untouched and is dropped at its
// twelfth set; the next one that begins with room is converted and queued.
TEST_F(NP1Assembly, AFullQueueIsCheckedBeforeTheSetsAreConverted) {
    auto assembly = std::make_unique<NP1::PacketAssembly>();
    std::memset(&assembly->packet, 0x5A, sizeof assembly->packet);
    ASSERT_TRUE(queue.enqueue(electrodePacket{}));
    for (uint8_t k = 0; k < 12; ++k) {
        EXPECT_FALSE(NP1::store_ap_data(*assembly, ap(k, true, 100 + k, 0xAB00 + k), gain, queue, 1)) << int(k);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&assembly->packet);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(electrodePacket), [](uint8_t b) { return b == 0x5A; }));
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Queue is full, dropping packet at timestamp 000000000000AB0B"});

    electrodePacket out;
    ASSERT_TRUE(queue.try_dequeue(out));
    int queued = 0;
    for (uint8_t k = 0; k < 12; ++k) queued += NP1::store_ap_data(*assembly, ap(k, true, 100 + k, 0xCD00 + k), gain, queue, 1);
    EXPECT_EQ(queued, 1);
    ASSERT_TRUE(queue.try_dequeue(out));
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(out.timestamps[k], 0xCD00u + k);
        EXPECT_EQ(out.ap[k][0], static_cast<int16_t>((512 - 100 - k) * gain[0]));
    }

    // A reset ends a drop in progress.
    ASSERT_TRUE(queue.enqueue(electrodePacket{}));
    EXPECT_FALSE(NP1::store_ap_data(*assembly, ap(0, true, 100), gain, queue, 1));
    NP1::reset_electrode_output(*assembly, queue);
    EXPECT_FALSE(assembly->dropping);
    EXPECT_EQ(queue.size_approx(), 0u);
}

TEST_F(NP1Assembly, ResetZeroesThePacketThenClearsTheQueue) {
    superframe(true);
    NP1::reset_electrode_output(*packet, queue);
    EXPECT_EQ(queue.size_approx(), 0u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(packet.get());
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(electrodePacket), [](uint8_t b) { return b == 0; }));
    // An index past the superframe is refused instead of written.
    EXPECT_FALSE(NP1::store_ap_data(*packet, ap(12, true, 0), gain, queue));
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(electrodePacket), [](uint8_t b) { return b == 0; }));
}

TEST(NP2Conversion, CentresScalesAndQueuesEachSet) {
    test::LogCapture log;
    NP2::APDataQueue queue;
    std::array<float, 384> gain;
    gain.fill(0.7f);
    gain[3] = 1.5f;
    NP2::RawAPData raw{42, {}};
    raw.samples.fill(2048);
    raw.samples[0] = 0;
    raw.samples[1] = 2049;
    raw.samples[2] = 2047;
    raw.samples[3] = 4095;
    uint64_t count = 5;
    ASSERT_TRUE(NP2::queue_ap_data(raw, gain, queue, count));
    EXPECT_EQ(count, 6u);
    NP2::APData out;
    ASSERT_TRUE(queue.try_dequeue(out));
    EXPECT_EQ(out.timestamp, 42u);
    EXPECT_EQ(out.samples[0], static_cast<int16_t>(-2048 * 0.7f));
    EXPECT_EQ(out.samples[1], 0);  // 0.7 truncates to 0
    EXPECT_EQ(out.samples[2], 0);  // so does -0.7
    EXPECT_EQ(out.samples[3], 3070);
    EXPECT_EQ(out.samples[4], 0);

    // Full queue: dropped, still counted.
    EXPECT_TRUE(NP2::queue_ap_data(raw, gain, queue, count, 1));
    EXPECT_FALSE(NP2::queue_ap_data(raw, gain, queue, count, 1));
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(queue.size_approx(), 1u);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"Queue is full, dropping packet at timestamp 42"});

    NP2::reset_ap_output(queue, count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(queue.size_approx(), 0u);
}

TEST(DecoderWorkers, RefuseEmptyCallbacksBeforeAnyThreadExists) {
    try {
        NP1::DemuxWorker w(demux::SID::NP1_PORT0, [](NP1::APData) {}, [](NP1::LPData) {}, nullptr);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "reset_output must not be empty");
    }
    EXPECT_THROW(NP1::DemuxWorker(demux::SID::NP1_PORT0, nullptr, [](NP1::LPData) {}, [] {}), std::invalid_argument);
    EXPECT_THROW(NP2::DemuxWorker(demux::SID::NP2_PORT0_DOCK0, nullptr, [] {}), std::invalid_argument);
    EXPECT_THROW(NP2::DemuxWorker(demux::SID::NP2_PORT0_DOCK0, [](NP2::RawAPData) {}, nullptr), std::invalid_argument);
}

TEST(DecoderWorkers, NP1WorkerSaysWhenItsThreadStops) {
    test::LogCapture log;
    int resets = 0;
    {
        NP1::DemuxWorker w(demux::SID::NP1_PORT2, [](NP1::APData) {}, [](NP1::LPData) {}, [&] { ++resets; });
        w.wait_for_resync();
        w.wait_for_resync();
        EXPECT_EQ(resets, 2);
    }
    EXPECT_TRUE(log.contains(spdlog::level::debug, "Worker thread stopping"));
}

}  // namespace
}  // namespace pelionp
