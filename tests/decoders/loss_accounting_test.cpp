// Every word the simulated board sends for a probe ends up in a set the host
// was given or under exactly one loss cause, whatever the line, the decoder's
// sync and the host did to it: delivered + lost = what the device sent.
#include <chrono>
#include <functional>
#include <thread>
#include <variant>

#include <gtest/gtest.h>

#include "pelionp/decoders/np1_probe_stream.h"
#include "pelionp/decoders/np2_probe_stream.h"
#include "pelionp/demux/byte_budget.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "sim/board.h"
#include "sim/headstages/np_headstages.h"
#include "sim/line_faults.h"
#include "sim/probes/np1_probe.h"
#include "sim/probes/np2_probe.h"
#include "tests/support/log_capture.h"

namespace pelionp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits for `done` with a generous deadline; whether it came true.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + 30s;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A board whose stream goes straight into a coordinator, the probe's source
// behind line faults.
struct LiveBoard {
    explicit LiveBoard(bool np2) {
        board->set_stream_options({.paced = false, .views = false, .ticks_per_buffer = 30});
        auto headstage = np2 ? sim::make_np2_headstage() : sim::make_np1_headstage();
        if (np2) {
            (void)sim::attach_np2_probe(*headstage, 0, {});
        } else {
            np1 = sim::attach_np1_probe(*headstage, {}).source;
        }
        line = std::make_shared<sim::LineFaults>(headstage->stream_source(0));
        headstage->set_stream_source(0, line);
        board->plug(0, headstage);
    }

    void start(demux::NeuropixelsWorker& worker, uint32_t producers) {
        ASSERT_TRUE(coordinator.push_subscription({worker.sid, worker.queue()}).has_value());
        board->poke(0x1404, producers);
        stream = board->start_read_stream(
            0,
            [this](pelio::DataStream::Events&& event) {
                if (auto* data = std::get_if<pelio::DataStream::OwnedData>(&event)) {
                    const uint64_t size = data->size();
                    coordinator.push_buffer({size, data->take()});
                }
            },
            0);
        ASSERT_TRUE(stream);
    }

    void stop() {
        stream->stop();
        stream->join();
    }

    std::shared_ptr<sim::Board> board = std::make_shared<sim::Board>();
    std::shared_ptr<sim::LineFaults> line;
    std::shared_ptr<sim::NP1ProbeSource> np1;
    demux::DataStreamCoordinator coordinator;
    std::unique_ptr<pelio::BasicDevice::DataStream> stream;
};

std::array<float, 384> ones() {
    std::array<float, 384> g;
    g.fill(1.0f);
    return g;
}

// The faults in turn, each waited for: a host that stalls (the queue fills),
// words lost on the line, a resync while sets are queued, a host draining.
template <class Stream, class Element>
void play_faults(LiveBoard& rig, Stream& stream, const std::function<void()>& break_sync) {
    const auto counters = [&] { return stream.counters(); };
    ASSERT_TRUE(eventually([&] { return counters().lost.queue_full > 0; })) << "the stalled host's queue fills";
    rig.line->drop_words(7);
    ASSERT_TRUE(eventually([&] { return counters().lost.wire >= 7; }));
    if (break_sync) {
        break_sync();
        ASSERT_TRUE(eventually([&] { return counters().lost.sync > 0; }));
    }
    const uint64_t resync_before = counters().lost.resync;
    stream.worker().wait_for_resync();  // clears the full queue
    EXPECT_GT(counters().lost.resync, resync_before);
    Element element;
    std::size_t drained = 0;
    while (drained < 50) {
        if (stream.packets().wait_dequeue_timed(element, 100ms)) ++drained;
    }
    rig.stop();
}

// After the board stopped: once every word the probe sent has reached the
// decoder (or was lost before it), the host takes what is queued and the
// stream is resynced, as a stop does; then every word is accounted for, and
// what the host took since the first resync is what the counters call
// delivered.
template <class Stream, class Element>
void expect_accounted(LiveBoard& rig, Stream& stream, uint64_t words_per_element, uint64_t wire_lost = 7,
                      uint64_t taken = 50) {
    const uint64_t sent = rig.line->words_sent();
    auto& worker = stream.worker();
    const auto& demuxed = worker.queue()->losses;
    ASSERT_TRUE(eventually([&] {
        return worker.words_decoded() + worker.words_discarded() + demuxed.wire_words.load() +
                   demuxed.memory_words.load() + demuxed.budget_words.load() ==
               sent;
    }));
    Element element;
    uint64_t left = 0;
    while (stream.packets().try_dequeue(element)) ++left;
    worker.wait_for_resync();
    const StreamCounters c = stream.counters();
    EXPECT_EQ(c.words_accounted(), sent) << "delivered " << c.words_delivered << ", full " << c.lost.queue_full
                                         << ", incomplete " << c.lost.incomplete << ", sync " << c.lost.sync
                                         << ", wire " << c.lost.wire << ", memory " << c.lost.memory << ", resync "
                                         << c.lost.resync;
    EXPECT_EQ(c.lost.wire, wire_lost);
    EXPECT_EQ(c.lost.memory, 0u);
    EXPECT_EQ(c.words_delivered, (taken + left) * words_per_element);
}

TEST(LossAccounting, Np1DeliveredAndLostAddUpToWhatTheBoardSent) {
    test::LogCapture log;  // the faults warn by design
    LiveBoard rig(false);
    NP1::ProbeStream stream(demux::SID::NP1_PORT0, ones(), ones(), 8);
    rig.start(stream.worker(), 0x1);
    play_faults<NP1::ProbeStream, electrodePacket>(rig, stream, [&] { rig.np1->break_sync(); });
    expect_accounted<NP1::ProbeStream, electrodePacket>(rig, stream, NP1::WORDS_PER_PACKET);
}

TEST(LossAccounting, Np2DeliveredAndLostAddUpToWhatTheBoardSent) {
    test::LogCapture log;
    LiveBoard rig(true);
    NP2::ProbeStream stream(demux::SID::NP2_PORT0_DOCK0, ones(), 8);
    rig.start(stream.worker(), 0x1 | (1u << 16));
    play_faults<NP2::ProbeStream, NP2::APData>(rig, stream, {});
    expect_accounted<NP2::ProbeStream, NP2::APData>(rig, stream, NP2::WORDS_PER_SET);
}

// A host that stalls far from its queue's packet-count limit: the data
// path's byte budget bounds what the queue holds, the newest sets are
// dropped and counted, one warning tells of the episode, and every word is
// still accounted for.
TEST(LossAccounting, OverTheByteBudgetTheNewestDataIsDroppedAndCounted) {
    test::LogCapture log;
    auto& budget = demux::data_path_budget();
    const std::size_t limit = budget.limit();
    const uint64_t episodes = budget.episodes();
    constexpr std::size_t LIMIT = std::size_t{8} << 20;
    budget.set_limit(LIMIT);
    struct Restore {
        demux::ByteBudget& budget;
        std::size_t limit;
        ~Restore() { budget.set_limit(limit); }
    } restore{budget, limit};

    LiveBoard rig(false);
    NP1::ProbeStream stream(demux::SID::NP1_PORT0, ones(), ones());
    rig.start(stream.worker(), 0x1);
    ASSERT_TRUE(eventually([&] { return stream.counters().lost.budget > 100 * NP1::WORDS_PER_PACKET; }));
    EXPECT_LE(stream.packets().size_approx() * sizeof(electrodePacket), LIMIT);
    EXPECT_EQ(stream.counters().lost.queue_full, 0u) << "the packet-count limit is far away";
    rig.stop();
    expect_accounted<NP1::ProbeStream, electrodePacket>(rig, stream, NP1::WORDS_PER_PACKET, 0, 0);
    EXPECT_EQ(budget.episodes(), episodes + 1);
    EXPECT_EQ(log.count_containing("Data path over its byte budget"), 1u);
}

}  // namespace
}  // namespace pelionp
