// The probe's decoder worker and callbacks: words of its port's NP1 stream
// in, gain-corrected electrode packets out of the probe's queue.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "sim/probes/np1_signal.h"
#include "sim/stream_encoders.h"
#include "tests/probes/np1/sim_probe_fixture.h"
#include "tests/support/log_capture.h"

namespace {

using pelionp::electrodePacket;
using pelionp::sim::np1_ap_code;
using pelionp::sim::np1_lfp_code;
using pelionp::test::LogCapture;

constexpr uint64_t SERIAL = 77;
constexpr uint64_t FIRST_TICK = 0x1234500;

class Np1Packets : public pelionp::test::SimNp1Probe {
protected:
    Np1Packets()
        : probe(make_probe()),
          encoder(static_cast<uint8_t>(PORT),
                  pelionp::sim::NP1Samples{
                      .ap = [this](uint64_t group, int c) { return np1_ap_code(SERIAL, electrode_of(c), group); },
                      .lfp = [this](uint64_t sf, int c) { return np1_lfp_code(SERIAL, electrode_of(c), sf); }}) {}

    int electrode_of(int channel) const { return probe->electrode[channel]; }

    /// Hands `groups` frame groups to the worker as the demultiplexer would:
    /// group g carries stream timestamp FIRST_TICK + g.
    void send_groups(std::size_t groups) {
        std::vector<uint8_t> bytes;
        std::vector<pelionp::demux::SIDWord> words;
        for (std::size_t i = 0; i < groups; ++i) {
            const std::size_t before = bytes.size();
            encoder.append_groups(bytes, 1);
            for (std::size_t at = before; at < bytes.size(); at += 16)
                words.emplace_back(FIRST_TICK + group_, static_cast<int>(at));
            ++group_;
        }
        std::shared_ptr<uint8_t[]> buffer(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), buffer.get());
        probe->stream().worker().queue()->enqueue({std::move(words), bytes.size(), std::move(buffer)});
    }

    /// Waits for `count` packets (generous deadline) and takes them.
    std::vector<electrodePacket> take(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::vector<electrodePacket> out(count);
        std::size_t got = 0;
        while (got < count && std::chrono::steady_clock::now() < deadline)
            got += probe->stream().packets().wait_dequeue_bulk_timed(out.data() + got, count - got,
                                                                    std::chrono::milliseconds(100));
        // Anything beyond `count` that is already there counts too.
        electrodePacket more;
        while (probe->stream().packets().try_dequeue(more)) out.push_back(more), ++got;
        out.resize(got);
        return out;
    }

    std::unique_ptr<pelionp::NP1::Probe> probe;
    pelionp::sim::NP1Encoder encoder;
    uint64_t group_ = 0;
};

TEST_F(Np1Packets, PacketsCarryGainCorrectedSamplesAndTheirTimestamps) {
    auto ap = std::make_unique<pelionp::NP1::GainCalibrationTable>();
    auto lfp = std::make_unique<pelionp::NP1::GainCalibrationTable>();
    for (int code = 0; code < 8; ++code)
        for (int e = 0; e < 960; ++e) {
            (*ap)[code][e] = 1.0F + static_cast<float>(e % 7) * 0.25F + static_cast<float>(code);
            (*lfp)[code][e] = 0.5F + static_cast<float>(e % 5) * 0.125F;
        }
    probe->set_gain_calibrations(*ap, *lfp);
    for (int c = 0; c < 384; c += 3) ASSERT_TRUE(probe->setGain(static_cast<uint16_t>(c), c % 8, 0));
    ASSERT_TRUE(probe->selectElectrode(10, 2, true));
    ASSERT_TRUE(probe->selectElectrode(200, 1, true));
    // Only the channels changed since the new tables follow them.
    EXPECT_EQ(probe->ap_gain_correction[3].load(), (*ap)[3][3]);
    EXPECT_EQ(probe->ap_gain_correction[1].load(), 1.0F);
    EXPECT_EQ(probe->ap_gain_correction[10].load(), (*ap)[4][778]);
    EXPECT_EQ(probe->lfp_gain_correction[200].load(), (*lfp)[0][584]);

    probe->stream().worker().wait_for_resync();
    send_groups(12 * 3);
    const auto packets = take(3);
    ASSERT_EQ(packets.size(), 3U);
    for (std::size_t k = 0; k < packets.size(); ++k) {
        const auto& p = packets[k];
        for (int s = 0; s < 12; ++s) {
            const uint64_t group = 12 * k + static_cast<uint64_t>(s);
            ASSERT_EQ(p.timestamps[s], FIRST_TICK + group);
            for (int c = 0; c < 384; ++c) {
                const int e = probe->electrode[c];
                const float corr = probe->ap_gain_correction[c].load();
                const auto want = static_cast<int16_t>(static_cast<float>(512 - np1_ap_code(SERIAL, e, group)) * corr);
                ASSERT_EQ(p.ap[s][c], want) << "packet " << k << " sample " << s << " channel " << c;
            }
        }
        for (int c = 0; c < 384; ++c) {
            const int e = probe->electrode[c];
            const auto want = static_cast<int16_t>(static_cast<float>(512 - np1_lfp_code(SERIAL, e, k)) *
                                                   probe->lfp_gain_correction[c].load());
            ASSERT_EQ(p.lfp[c], want) << "packet " << k << " channel " << c;
        }
    }
    EXPECT_EQ(probe->electrode[10], 778);
}

TEST_F(Np1Packets, AnIncompleteSuperframeIsDroppedWithAWarning) {
    LogCapture log;
    send_groups(12 + 5);
    encoder.skip_frames(13);  // one whole group lost on the device side
    ++group_;
    send_groups(6 + 12);
    const auto packets = take(2);
    ASSERT_EQ(packets.size(), 2U);
    EXPECT_EQ(packets[0].timestamps[0], FIRST_TICK);
    EXPECT_EQ(packets[1].timestamps[0], FIRST_TICK + 24) << "the next superframe is queued normally";
    EXPECT_TRUE(log.wait_for(spdlog::level::warn,
                             fmt::format("Dropping incomplete electrode packet at timestamp {:016X}", FIRST_TICK + 23)));
    probe.reset();  // the worker thread logs: join it before the capture goes
}

TEST_F(Np1Packets, ResyncClearsTheQueueAndThePacket) {
    send_groups(12);
    ASSERT_EQ(take(1).size(), 1U);
    send_groups(12 + 6);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (probe->stream().counters().packets < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(probe->stream().counters().packets, 2U);
    const auto resyncs = probe->stream().counters().resyncs;
    probe->stream().worker().wait_for_resync();
    EXPECT_EQ(probe->stream().packets().size_approx(), 0U);
    // reset_output ran: the counters restart with the packet under assembly
    // (whose zeroing reset_electrode_output's own test checks).
    EXPECT_EQ(probe->stream().counters().packets, 0U);
    EXPECT_EQ(probe->stream().counters().resyncs, resyncs + 1);
}

}  // namespace
