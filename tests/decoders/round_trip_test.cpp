// Encoded board streams through the coordinator into live decoder workers:
// what each worker delivers must be exactly what was encoded, stamped with
// the timestamp word of its tick.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <gtest/gtest.h>

#include "pelionp/decoders/np1_demux_worker.h"
#include "pelionp/decoders/np1_packet_assembly.h"
#include "pelionp/decoders/np2_demux_worker.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "sim/stream_encoders.h"
#include "tests/decoders/feed.h"

namespace pelionp {
namespace {

using demux::SID;

uint16_t probe_code(unsigned sid, uint64_t superframe, int channel) {
    return test::np2_code(superframe + 1000 * sid, channel);
}

// Counts deliveries and lets the test wait for a total.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t count = 0;
    void add() {
        {
            std::lock_guard l(mutex);
            ++count;
        }
        cv.notify_all();
    }
    bool wait_for(std::size_t total) {
        std::unique_lock l(mutex);
        return cv.wait_for(l, std::chrono::seconds(30), [&] { return count >= total; });
    }
};

demux::DataBuffer malloc_copy(const uint8_t* data, std::size_t size) {
    auto* p = static_cast<uint8_t*>(std::malloc(size));
    std::memcpy(p, data, size);
    void (*release)(uint8_t*) = [](uint8_t* q) { std::free(q); };
    return {size, std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(p, release)};
}

// Cuts the stream into buffers whose borders fall anywhere between words.
void push_in_uneven_buffers(demux::DataStreamCoordinator& c, const std::vector<uint8_t>& stream) {
    std::size_t offset = 0;
    for (std::size_t k = 0; offset < stream.size(); ++k) {
        const std::size_t size = std::min(stream.size() - offset, 16 * (1 + (k * 7919) % 700));
        c.push_buffer(malloc_copy(stream.data() + offset, size));
        offset += size;
    }
}

TEST(RoundTrip, FullBoardThroughTheCoordinatorIntoLiveWorkers) {
    constexpr std::size_t TICKS = 12 * 20;  // 20 NP1 superframes, 240 NP2 superframes
    constexpr uint64_t T0 = 5000, STEP = 3;

    demux::DataStreamCoordinator coordinator;
    Arrivals arrivals;

    // Eight NP2 probes, SIDs 8..15.
    std::vector<std::vector<NP2::RawAPData>> np2_sets(8);
    std::vector<std::unique_ptr<NP2::DemuxWorker>> np2_workers;
    for (unsigned i = 0; i < 8; ++i) {
        np2_workers.push_back(std::make_unique<NP2::DemuxWorker>(
            SID{8 + i}, [&, i](NP2::RawAPData d) { np2_sets[i].push_back(d), arrivals.add(); }, [] {}));
    }

    // One NP1 probe on port 1, its callbacks bound to the packet assembly as
    // a probe binds them.
    auto packets = std::make_shared<NP1::ElectrodePacketQueue>();
    std::array<float, 384> ap_gain, lfp_gain;
    ap_gain.fill(1.0f);
    lfp_gain.fill(2.0f);
    auto packet = std::make_unique<electrodePacket>();
    std::vector<NP1::APData> np1_ap;
    NP1::DemuxWorker np1(
        SID::NP1_PORT1,
        [&](NP1::APData d) {
            np1_ap.push_back(d);
            if (NP1::store_ap_data(*packet, d, ap_gain, *packets)) arrivals.add();
        },
        [&](NP1::LPData d) { NP1::store_lfp_data(*packet, d, lfp_gain); },
        [&] { NP1::reset_electrode_output(*packet, *packets); });

    std::vector<demux::NeuropixelsWorker*> workers{&np1};
    for (auto& w : np2_workers) workers.push_back(w.get());
    for (auto* w : workers) {
        w->wait_for_resync();
        ASSERT_TRUE(coordinator.push_subscription({w->sid, w->queue()}).has_value());
    }

    sim::TimestampEncoder timestamps(T0, STEP);
    sim::StreamInterleaver board(timestamps);
    std::vector<std::unique_ptr<sim::NP2Encoder>> np2_encoders;
    for (unsigned i = 0; i < 8; ++i) {
        const unsigned sid = 8 + i;
        np2_encoders.push_back(std::make_unique<sim::NP2Encoder>(
            sid, sim::NP2Samples{[sid](uint64_t s, int c) { return probe_code(sid, s, c); }}, 0,
            static_cast<uint8_t>(17 * i)));
        board.add(*np2_encoders.back());
    }
    sim::NP1Encoder np1_encoder(1, {test::np1_ap_code, test::np1_lfp_code});
    board.add(np1_encoder);

    std::vector<uint8_t> stream;
    board.append_ticks(stream, TICKS);
    push_in_uneven_buffers(coordinator, stream);

    ASSERT_TRUE(arrivals.wait_for(8 * TICKS + TICKS / 12));
    for (auto* w : workers) ASSERT_TRUE(coordinator.unsubscribe(w->sid).has_value());
    // The handshake orders everything the decoder threads wrote before it.
    for (auto* w : workers) w->wait_for_resync();

    for (unsigned i = 0; i < 8; ++i) {
        ASSERT_EQ(np2_sets[i].size(), TICKS) << "SID " << 8 + i;
        for (std::size_t k = 0; k < TICKS; ++k) {
            ASSERT_EQ(np2_sets[i][k].timestamp, T0 + STEP * k);
            for (int c = 0; c < 384; ++c) ASSERT_EQ(np2_sets[i][k].samples[c], probe_code(8 + i, k, c));
        }
    }
    ASSERT_EQ(np1_ap.size(), TICKS);
    for (std::size_t g = 0; g < TICKS; ++g) {
        ASSERT_EQ(np1_ap[g].timestamp, T0 + STEP * g);
        ASSERT_TRUE(np1_ap[g].complete);
        for (int c = 0; c < 384; ++c) ASSERT_EQ(np1_ap[g].samples[c], test::np1_ap_code(g, c));
    }
    // The resync after unsubscribing emptied the packet queue; what the
    // packets held is checked in the assembly tests.
    EXPECT_EQ(packets->size_approx(), 0u);
}

TEST(RoundTrip, PacketsCarryGainCorrectedSuperframes) {
    demux::DataStreamCoordinator coordinator;
    Arrivals arrivals;
    auto packets = std::make_shared<NP1::ElectrodePacketQueue>();
    std::array<float, 384> ap_gain, lfp_gain;
    for (int c = 0; c < 384; ++c) ap_gain[c] = 1.0f + c % 3, lfp_gain[c] = 0.5f;
    electrodePacket packet{};
    NP1::DemuxWorker np1(
        SID::NP1_PORT0,
        [&](NP1::APData d) {
            if (NP1::store_ap_data(packet, d, ap_gain, *packets)) arrivals.add();
        },
        [&](NP1::LPData d) { NP1::store_lfp_data(packet, d, lfp_gain); },
        [&] { NP1::reset_electrode_output(packet, *packets); });
    np1.wait_for_resync();
    ASSERT_TRUE(coordinator.push_subscription({np1.sid, np1.queue()}).has_value());

    sim::TimestampEncoder timestamps(1, 1);
    sim::StreamInterleaver board(timestamps);
    sim::NP1Encoder encoder(0, {test::np1_ap_code, test::np1_lfp_code});
    board.add(encoder);
    std::vector<uint8_t> stream;
    board.append_ticks(stream, 24);
    push_in_uneven_buffers(coordinator, stream);
    ASSERT_TRUE(arrivals.wait_for(2));

    electrodePacket out;
    for (uint64_t s = 0; s < 2; ++s) {
        ASSERT_TRUE(packets->try_dequeue(out));
        for (int k = 0; k < 12; ++k) {
            EXPECT_EQ(out.timestamps[k], 1 + 12 * s + k);
            for (int c = 0; c < 384; ++c) {
                ASSERT_EQ(out.ap[k][c], static_cast<int16_t>((512 - test::np1_ap_code(12 * s + k, c)) * ap_gain[c]));
            }
        }
        for (int c = 0; c < 384; ++c) {
            ASSERT_EQ(out.lfp[c], static_cast<int16_t>((512 - test::np1_lfp_code(s, c)) * 0.5f));
        }
        for (uint8_t b : out.tail) EXPECT_EQ(b, 0);
    }
}

}  // namespace
}  // namespace pelionp
