#pragma once
// NP1::ProbeStream: the data half of one Neuropixels 1.0 probe. It holds the
// stream's decoder worker, a snapshot of the AP and LFP gain corrections, the
// electrode packet under assembly, the bounded packet queue the host drains
// and the stream's counters. It is built from a SID and gains alone, so the
// live probe, replay, the tests and the benchmarks run this one object.
//
// Ownership: the stream owns its worker (hand `worker()` to
// NPController::start_stream, or subscribe `worker().queue()` at a
// coordinator) and shares its packet queue with the host. Neither copied nor
// moved: the worker's callbacks point at the stream. Destruction stops and
// joins the worker first, then closes the queue (see ResettableQueue::close):
// a host whose thread may outlive the probe (detection destroys it with a
// re-plugged headstage) waits on `shared_packets()` and, woken empty-handed,
// finds the queue `closed()`.
//
// Threading: the decoder thread assembles packets, applies the gains and
// queues; the host drains `packets()` (blocking or bulk dequeues), may call
// `set_gains`/`set_gain` at any time (taken between two sample sets) and
// reads `counters()` from any thread.
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "pelionp/decoders/gain_snapshot.h"
#include "pelionp/decoders/loss_tally.h"
#include "pelionp/decoders/np1_demux_worker.h"
#include "pelionp/decoders/np1_packet_assembly.h"
#include "pelionp/decoders/stream_counters.h"
#include "pelionp/demux/electrode_packet.h"
#include "pelionp/export.h"

namespace pelionp::NP1 {

class PELIONP_API ProbeStream {
public:
    using Gains = std::span<const float, CHANNEL_COUNT>;

    /// Starts the decoder of `sid`. Throws std::system_error if its thread
    /// cannot be started.
    ProbeStream(demux::SID sid, Gains ap_gains, Gains lfp_gains,
                std::size_t max_queued = PACKET_QUEUE_MAX_ELEMENTS);
    ~ProbeStream();
    ProbeStream(const ProbeStream&) = delete;
    ProbeStream& operator=(const ProbeStream&) = delete;

    [[nodiscard]] demux::SID sid() const noexcept { return worker_->sid; }
    [[nodiscard]] demux::NeuropixelsWorker& worker() noexcept { return *worker_; }
    /// The packets, gain-corrected, in stream order.
    [[nodiscard]] ElectrodePacketQueue& packets() noexcept { return *queue_; }
    [[nodiscard]] std::shared_ptr<ElectrodePacketQueue> shared_packets() const noexcept { return queue_; }

    /// Host: new corrections, used from the next sample set on.
    void set_gains(Gains ap_gains, Gains lfp_gains);
    void set_gain(std::size_t channel, float ap_gain, float lfp_gain);

    [[nodiscard]] StreamCounters counters() const noexcept;

    /// The decoder's callbacks, run on the decoder thread. Public so that a
    /// test or a benchmark can drive the assembly of a stream that is not
    /// subscribed, from the one thread that then plays the decoder's part.
    /// The decoder thread queues with `Wake::deferred` and wakes the host
    /// once per word list; a caller of its own wakes it per element.
    void on_ap(const APData& data, demux::Wake wake = demux::Wake::now);
    void on_lfp(const LPData& data);
    void reset_output();

private:
    GainSnapshot<CHANNEL_COUNT> ap_gains_;
    GainSnapshot<CHANNEL_COUNT> lfp_gains_;
    const std::size_t max_queued_;
    std::shared_ptr<ElectrodePacketQueue> queue_;
    std::atomic<uint64_t> packets_{0};  // written by the decoder thread only
    std::atomic<uint64_t> drops_{0};
    // The loss accounting (see stream_counters.h), written by the decoder
    // thread only; the demultiplexer's and the worker's parts are read from
    // them.
    LossTally tally_;
    uint64_t accounted_ = 0;  // words the decoder has reported on (the decoder thread's)
    uint64_t pending_ = 0;    // of those, words in the packet under assembly
    bool over_budget_ = false;   // the superframe under assembly is dropped for the byte budget
    PacketAssembly assembly_{};  // the decoder thread's alone
    std::unique_ptr<DemuxWorker> worker_;  // last: stopped before the members it uses go
    // The worker, for the decoder thread's own reads while `worker_` is
    // being reset (set once, in the constructor's body).
    const demux::NeuropixelsWorker* decoding_ = nullptr;
};

}  // namespace pelionp::NP1
