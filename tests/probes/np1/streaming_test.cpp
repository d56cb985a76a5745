// End to end on the simulated board: detect an NP1 headstage, init its
// probe, select electrodes, upload, stream through the controller and the
// probe's worker, and compare every packet with the simulated electrodes.
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

#include "pelionp/controller/np_controller.h"
#include "pelionp/controller/np_port.h"
#include "pelionp/probes/np1/probe.h"
#include "sim/board.h"
#include "sim/headstages/np_headstages.h"
#include "sim/line_faults.h"
#include "sim/probes/np1_probe.h"
#include "sim/probes/np1_signal.h"

namespace {

using pelionp::electrodePacket;
using pelionp::NP1::Probe;

constexpr int PORT = 1;

class Np1Streaming : public ::testing::Test {
protected:
    Np1Streaming() {
        board->set_stream_options({.paced = false, .views = false, .ticks_per_buffer = 30});
        headstage = pelionp::sim::make_np1_headstage();
        sim = pelionp::sim::attach_np1_probe(*headstage, {.serial = 0x1122334455ULL});
        board->plug(PORT, headstage);
    }

    std::vector<electrodePacket> take_at_least(Probe& probe, std::size_t count) {
        std::vector<electrodePacket> out;
        electrodePacket p;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (probe.stream().packets().wait_dequeue_timed(p, std::chrono::milliseconds(100))) out.push_back(p);
        }
        return out;
    }

    /// Every sample of a packet as the library should have corrected what
    /// the simulated electrodes sent.
    void expect_matches_electrodes(Probe& probe, const electrodePacket& p) {
        for (int c = 0; c < 384; ++c) {
            int e = -1;
            const bool connected = probe.probe_getelectrodenr(c, &e) == 1;
            const bool standby = (probe.base_config[c % 2][72 + c / 2] & 0x40) != 0;
            const float ap_corr = probe.ap_gain_correction[c].load();
            const float lfp_corr = probe.lfp_gain_correction[c].load();
            for (int s = 0; s < 12; ++s) {
                const uint16_t code = connected && !standby ? pelionp::sim::np1_ap_code(sim.identity.serial, e, p.timestamps[s])
                                                            : pelionp::sim::NP1_FLAT_CODE;
                ASSERT_EQ(p.ap[s][c], static_cast<int16_t>(static_cast<float>(512 - code) * ap_corr))
                    << "channel " << c << " sample " << s << " at " << p.timestamps[s];
            }
            const uint16_t code = connected && !standby
                                      ? pelionp::sim::np1_lfp_code(sim.identity.serial, e, p.timestamps[0] / 12)
                                      : pelionp::sim::NP1_FLAT_CODE;
            ASSERT_EQ(p.lfp[c], static_cast<int16_t>(static_cast<float>(512 - code) * lfp_corr)) << "channel " << c;
        }
        for (int s = 1; s < 12; ++s) ASSERT_EQ(p.timestamps[s], p.timestamps[0] + static_cast<uint64_t>(s));
    }

    std::shared_ptr<pelionp::sim::Board> board = std::make_shared<pelionp::sim::Board>();
    std::shared_ptr<pelionp::sim::Headstage> headstage;
    pelionp::sim::NP1ProbeSim sim;
};

TEST_F(Np1Streaming, ConfiguredProbeStreamsGainCorrectedElectrodes) {
    auto controller = pelionp::NPController::create(board);
    ASSERT_TRUE(controller) << controller.error();
    auto port = (*controller)->get_np_port(PORT);
    ASSERT_TRUE(port) << port.error();
    auto detected = (*controller)->detect_headstage(**port);
    ASSERT_TRUE(detected) << detected.error();
    auto& headstage = std::get<std::reference_wrapper<pelionp::NP1::Headstage>>(*detected).get();

    auto init = Probe::init(headstage.serializer);
    ASSERT_TRUE(init) << init.error();
    headstage.probe = std::move(*init);
    Probe& probe = *headstage.probe;
    EXPECT_EQ(probe.info.serial, 0x1122334455ULL);

    auto ap = std::make_unique<pelionp::NP1::GainCalibrationTable>();
    auto lfp = std::make_unique<pelionp::NP1::GainCalibrationTable>();
    for (int code = 0; code < 8; ++code)
        for (int e = 0; e < 960; ++e) {
            (*ap)[code][e] = 0.75F + static_cast<float>((e + code) % 9) * 0.125F;
            (*lfp)[code][e] = 1.25F + static_cast<float>(e % 4) * 0.5F;
        }
    probe.set_gain_calibrations(*ap, *lfp);
    for (uint16_t c = 0; c < 384; ++c) {
        if (c == 191) continue;
        ASSERT_TRUE(probe.selectElectrode(c, c < 192 && c % 2 == 0 ? 2 : 1, true));
        ASSERT_TRUE(probe.setGain(c, c % 8, (c + 1) % 8));
    }
    ASSERT_TRUE(probe.probe_setStdb(50, true));
    const auto uploaded = probe.apply_shift_register_config(false);
    ASSERT_TRUE(uploaded.shank && uploaded.base0 && uploaded.base1);
    EXPECT_EQ(sim.chip->channel_map()->electrode[10], 778);
    EXPECT_EQ(sim.chip->channel_map()->electrode[11], 395);

    ASSERT_TRUE((*controller)->start_stream(probe.stream().worker()));
    auto packets = take_at_least(probe, 4);
    ASSERT_GE(packets.size(), 4U);
    for (std::size_t k = 0; k < packets.size(); ++k) {
        expect_matches_electrodes(probe, packets[k]);
        if (k > 0) {
            EXPECT_EQ(packets[k].timestamps[0], packets[k - 1].timestamps[0] + 12) << "no superframe lost";
        }
    }

    ASSERT_TRUE((*controller)->stop_stream(probe.stream().worker()));
    EXPECT_EQ(probe.stream().packets().size_approx(), 0U) << "the stop resyncs the worker, which clears the queue";

    // Another bank for channel 10 shows in the data once uploaded.
    ASSERT_TRUE(probe.selectElectrode(10, 0, true));
    const auto again = probe.apply_shift_register_config(false);
    ASSERT_TRUE(again.shank && again.base0 && again.base1);
    ASSERT_TRUE((*controller)->start_stream(probe.stream().worker()));
    packets = take_at_least(probe, 3);
    ASSERT_GE(packets.size(), 3U);
    for (const auto& p : packets) expect_matches_electrodes(probe, p);
    ASSERT_TRUE((*controller)->stop_stream(probe.stream().worker()));
}

TEST_F(Np1Streaming, WordsLostOnTheLineCostOneResyncAndTheProbeStreamsOn) {
    auto line = std::make_shared<pelionp::sim::LineFaults>(headstage->stream_source(0));
    headstage->set_stream_source(0, line);
    auto controller = pelionp::NPController::create(board);
    ASSERT_TRUE(controller) << controller.error();
    auto port = (*controller)->get_np_port(PORT);
    ASSERT_TRUE(port) << port.error();
    auto detected = (*controller)->detect_headstage(**port);
    ASSERT_TRUE(detected) << detected.error();
    auto& np1 = std::get<std::reference_wrapper<pelionp::NP1::Headstage>>(*detected).get();
    auto init = Probe::init(np1.serializer);
    ASSERT_TRUE(init) << init.error();
    np1.probe = std::move(*init);
    Probe& probe = *np1.probe;
    const auto uploaded = probe.apply_shift_register_config(false);
    ASSERT_TRUE(uploaded.shank && uploaded.base0 && uploaded.base1);

    for (const int lost : {7, 1, 4, 65}) {
        SCOPED_TRACE(lost);
        pelionp::test::LogCapture log;
        ASSERT_TRUE((*controller)->start_stream(probe.stream().worker()));
        ASSERT_EQ(take_at_least(probe, 2).size(), 2U);
        const uint64_t dropped = line->words_dropped();
        line->drop_words(lost);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line->words_dropped() < dropped + static_cast<uint64_t>(lost) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_EQ(line->words_dropped(), dropped + static_cast<uint64_t>(lost));
        // Packets decoded after the loss match the electrodes again.
        auto packets = take_at_least(probe, 40);
        ASSERT_EQ(packets.size(), 40U);
        for (std::size_t k = 30; k < packets.size(); ++k) expect_matches_electrodes(probe, packets[k]);
        ASSERT_TRUE((*controller)->stop_stream(probe.stream().worker()));
        EXPECT_LE(log.count_containing("Lost sync at frame"), 1U);
    }
}

// A host thread blocked in its probe stream's dequeue while the headstage is
// re-plugged: detection destroys the probe, and the host must wake, not hang
// on a queue nobody feeds nor wake inside a freed one. A host that holds the
// queue keeps it and finds it closed; one that holds only a reference (and
// touches it no more once woken) is let out before the queue goes.
class Np1StreamReplug : public Np1Streaming, public ::testing::WithParamInterface<bool> {};

TEST_P(Np1StreamReplug, AHostBlockedInItsDequeueWakesWhenDetectionDestroysTheProbe) {
    const bool holds_queue = GetParam();
    auto controller = pelionp::NPController::create(board);
    ASSERT_TRUE(controller) << controller.error();
    auto port = (*controller)->get_np_port(PORT);
    ASSERT_TRUE(port) << port.error();
    auto detected = (*controller)->detect_headstage(**port);
    ASSERT_TRUE(detected) << detected.error();
    auto& np1 = std::get<std::reference_wrapper<pelionp::NP1::Headstage>>(*detected).get();
    auto init = Probe::init(np1.serializer);
    ASSERT_TRUE(init) << init.error();
    np1.probe = std::move(*init);

    struct Woken {
        bool got;
        bool closed;
    };
    std::weak_ptr<pelionp::NP1::ElectrodePacketQueue> watch = np1.probe->stream().shared_packets();
    const auto held = holds_queue ? watch.lock() : nullptr;
    std::packaged_task<Woken()> task;
    if (holds_queue) {
        task = std::packaged_task<Woken()>([queue = held] {
            electrodePacket p;
            const bool got = queue->wait_dequeue_timed(p, std::chrono::hours(1));
            return Woken{got, queue->closed()};
        });
    } else {
        task = std::packaged_task<Woken()>([&queue = np1.probe->stream().packets()] {
            electrodePacket p;
            return Woken{queue.wait_dequeue_timed(p, std::chrono::hours(1)), false};
        });
    }
    auto result = task.get_future();
    std::thread host(std::move(task));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto waiting = [&] {
        auto queue = watch.lock();
        return queue && queue->consumers_approx() == 1;
    };
    while (!waiting() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(waiting()) << "the host never began to wait";

    board->unplug(PORT);
    auto fresh = pelionp::sim::make_np1_headstage();
    (void)pelionp::sim::attach_np1_probe(*fresh, {.serial = 0x99});
    board->plug(PORT, fresh);
    auto redetected = (*controller)->detect_headstage(**port);
    ASSERT_TRUE(redetected) << redetected.error();
    EXPECT_EQ((*port)->generation, 1u) << "the probe was destroyed with its headstage";

    const bool woke = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!woke) {
        if (auto queue = watch.lock()) queue->wake();  // lets the thread end so the test can report
    }
    host.join();
    ASSERT_TRUE(woke) << "the host stayed blocked on the destroyed probe's queue";
    const Woken woken = result.get();
    EXPECT_FALSE(woken.got);
    EXPECT_EQ(woken.closed, holds_queue);
    EXPECT_EQ(watch.expired(), !holds_queue);
}

INSTANTIATE_TEST_SUITE_P(Hosts, Np1StreamReplug, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "HoldingTheQueue" : "HoldingAReference"; });

}  // namespace
