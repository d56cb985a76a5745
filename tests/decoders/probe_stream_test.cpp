// The probe streams, the one data half of live probes, replay and the
// benchmarks: built from a SID and gains alone, fed through the coordinator
// or driven directly from the thread that plays the decoder's part.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <thread>

#include <gtest/gtest.h>

#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "sim/stream_encoders.h"
#include "tests/decoders/feed.h"
#include "tests/support/log_capture.h"

namespace pelionp {
namespace {

using demux::SID;
using namespace std::chrono_literals;

std::array<float, 384> gains_of(float value) {
    std::array<float, 384> g;
    g.fill(value);
    return g;
}

demux::DataBuffer malloc_copy(const std::vector<uint8_t>& bytes) {
    auto* p = static_cast<uint8_t*>(std::malloc(bytes.size()));
    std::memcpy(p, bytes.data(), bytes.size());
    void (*release)(uint8_t*) = [](uint8_t* q) { std::free(q); };
    return {bytes.size(), std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(p, release)};
}

NP2::RawAPData raw_set(uint64_t timestamp, uint16_t code) {
    NP2::RawAPData raw{};
    raw.timestamp = timestamp;
    raw.samples.fill(code);
    return raw;
}

// A full queue drops the set before any conversion and counts it; the
// counters restart with the output reset, the resyncs do not.
TEST(NP2ProbeStream, DropsWhenFullAndCounts) {
    test::LogCapture log;
    NP2::ProbeStream stream(SID::NP2_PORT1_DOCK0, gains_of(2.0f), 2);
    stream.on_raw_ap(raw_set(1, 2048 + 10));
    stream.on_raw_ap(raw_set(2, 2048 + 20));
    stream.on_raw_ap(raw_set(3, 2048 + 30));
    EXPECT_TRUE(log.contains(spdlog::level::warn, "Queue is full, dropping packet at timestamp 3"));
    EXPECT_EQ(stream.counters().packets, 3u);
    EXPECT_EQ(stream.counters().drops, 1u);
    std::array<NP2::APData, 4> sets{};
    ASSERT_EQ(stream.packets().try_dequeue_bulk(sets.data(), sets.size()), 2u);
    EXPECT_EQ(sets[0].samples[0], 20);
    EXPECT_EQ(sets[1].samples[383], 40);

    const auto resyncs = stream.counters().resyncs;
    stream.worker().wait_for_resync();
    EXPECT_EQ(stream.counters().packets, 0u);
    EXPECT_EQ(stream.counters().drops, 0u);
    EXPECT_EQ(stream.counters().resyncs, resyncs + 1);
}

// New gains land between two sets: the set converted before the change keeps
// the old factors whole, the next one uses the new ones whole.
TEST(NP2ProbeStream, GainsChangeBetweenSets) {
    NP2::ProbeStream stream(SID::NP2_PORT0_DOCK1, gains_of(1.0f));
    stream.on_raw_ap(raw_set(1, 2048 + 100));
    auto halves = gains_of(0.5f);
    halves[7] = 3.0f;
    stream.set_gains(halves);
    EXPECT_EQ(stream.gain(7), 3.0f);
    stream.on_raw_ap(raw_set(2, 2048 + 100));
    NP2::APData first{}, second{};
    ASSERT_TRUE(stream.packets().try_dequeue(first));
    ASSERT_TRUE(stream.packets().try_dequeue(second));
    for (int c = 0; c < 384; ++c) ASSERT_EQ(first.samples[c], 100) << c;
    EXPECT_EQ(second.samples[0], 50);
    EXPECT_EQ(second.samples[7], 300);
}

// Through the coordinator into the stream's own worker; the host blocks on
// the queue until the worker wakes it.
TEST(NP2ProbeStream, DecodesLiveAndTheHostBlocksForTheSets) {
    demux::DataStreamCoordinator coordinator;
    NP2::ProbeStream stream(SID::NP2_PORT2_DOCK0, gains_of(1.0f));
    stream.worker().wait_for_resync();
    ASSERT_TRUE(coordinator.push_subscription({stream.sid(), stream.worker().queue()}).has_value());
    sim::TimestampEncoder timestamps(100, 1);
    sim::StreamInterleaver board(timestamps);
    sim::NP2Encoder encoder(10, {test::np2_code});
    board.add(encoder);
    std::vector<uint8_t> bytes;
    board.append_ticks(bytes, 20);
    coordinator.push_buffer(malloc_copy(bytes));

    // The host waits without a short timeout: the worker queues the sets
    // without waking it and wakes it once the word list is decoded.
    std::vector<NP2::APData> sets(20);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (got < sets.size() && std::chrono::steady_clock::now() < deadline)
        got += stream.packets().wait_dequeue_bulk_timed(sets.data() + got, sets.size() - got,
                                                         deadline - std::chrono::steady_clock::now());
    ASSERT_EQ(got, 20u);
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "woken by its deadline, not by the worker";
    for (std::size_t k = 0; k < got; ++k) {
        ASSERT_EQ(sets[k].timestamp, 100 + k);
        for (int c = 0; c < 384; ++c) ASSERT_EQ(sets[k].samples[c], test::np2_code(k, c) - 2048) << k << " " << c;
    }
    // The worker counts a set after queueing it: the host may see the set first.
    const auto counted = std::chrono::steady_clock::now() + 10s;
    while (stream.counters().packets < 20u && std::chrono::steady_clock::now() < counted) std::this_thread::yield();
    EXPECT_EQ(stream.counters().packets, 20u);
    EXPECT_EQ(stream.counters().drops, 0u);
}

// The NP1 stream assembles gain-corrected packets; a channel's new factors
// apply from the next sample set on, and an incomplete superframe counts as a
// drop.
TEST(NP1ProbeStream, AssemblesPacketsWithTheGainsOfTheirSets) {
    NP1::ProbeStream stream(SID::NP1_PORT2, gains_of(1.0f), gains_of(0.5f));
    NP1::APData ap{};
    NP1::LPData lfp{};
    lfp.samples[0] = 412;
    stream.on_lfp(lfp);
    for (uint8_t k = 0; k < 12; ++k) {
        ap.index = k;
        ap.complete = true;
        ap.timestamp = 10 + k;
        std::fill(std::begin(ap.samples), std::end(ap.samples), uint16_t{500});
        if (k == 6) stream.set_gain(0, 2.0f, 0.5f);
        stream.on_ap(ap);
    }
    electrodePacket packet{};
    ASSERT_TRUE(stream.packets().try_dequeue(packet));
    EXPECT_EQ(packet.lfp[0], 50);
    EXPECT_EQ(packet.ap[5][0], 12);   // (512 - 500) x 1
    EXPECT_EQ(packet.ap[6][0], 24);   // x 2 from set 6 on
    EXPECT_EQ(packet.ap[6][1], 12);   // other channels unchanged
    EXPECT_EQ(packet.timestamps[11], 21u);

    ap.index = 11;
    ap.complete = false;
    stream.on_ap(ap);
    EXPECT_EQ(stream.counters().packets, 2u);
    EXPECT_EQ(stream.counters().drops, 1u);
    EXPECT_EQ(stream.packets().size_approx(), 0u);
}

}  // namespace
}  // namespace pelionp
