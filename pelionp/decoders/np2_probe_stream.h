#pragma once
// NP2::ProbeStream: the data half of one Neuropixels 2.0 probe. It holds the
// stream's decoder worker, a snapshot of the gain corrections, the bounded
// queue of gain-corrected AP sets the host drains and the stream's counters.
// It is built from a SID and gains alone, so the live probes, replay, the
// tests and the benchmarks run this one object and its one (vectorised)
// conversion, `convert_raw_ap`.
//
// Ownership: the stream owns its worker (hand `worker()` to
// NPController::start_stream, or subscribe `worker().queue()` at a
// coordinator) and shares its queue with the host. Neither copied nor moved:
// the worker's callbacks point at the stream. Destruction stops and joins
// the worker first, then closes the queue: a host whose thread may outlive
// the probe waits on `shared_packets()` and, woken empty-handed, finds the
// queue `closed()`.
//
// Threading: the decoder thread converts and queues (a set that finds the
// queue full is dropped before it is converted); the host drains `packets()`
// (blocking or bulk dequeues), may call `set_gains` at any time (taken
// between two sets) and reads `counters()` from any thread.
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "pelionp/decoders/gain_snapshot.h"
#include "pelionp/decoders/loss_tally.h"
#include "pelionp/decoders/np2_demux_worker.h"
#include "pelionp/decoders/np2_gain_conversion.h"
#include "pelionp/decoders/stream_counters.h"
#include "pelionp/export.h"

namespace pelionp::NP2 {

class PELIONP_API ProbeStream {
public:
    using Gains = std::span<const float, CHANNEL_COUNT>;

    /// Starts the decoder of `sid`. Throws std::system_error if its thread
    /// cannot be started.
    ProbeStream(demux::SID sid, Gains gains, std::size_t max_queued = AP_QUEUE_MAX_ELEMENTS);
    ~ProbeStream();
    ProbeStream(const ProbeStream&) = delete;
    ProbeStream& operator=(const ProbeStream&) = delete;

    [[nodiscard]] demux::SID sid() const noexcept { return worker_->sid; }
    [[nodiscard]] demux::NeuropixelsWorker& worker() noexcept { return *worker_; }
    /// The AP sets, gain-corrected, in stream order.
    [[nodiscard]] APDataQueue& packets() noexcept { return *queue_; }
    [[nodiscard]] std::shared_ptr<APDataQueue> shared_packets() const noexcept { return queue_; }

    /// Host: new corrections, used from the next set on.
    void set_gains(Gains gains) { gains_.set(gains); }
    /// Host: the factor the next set uses for `channel`.
    [[nodiscard]] float gain(std::size_t channel) const { return gains_.value(channel); }

    [[nodiscard]] StreamCounters counters() const noexcept;

    /// The decoder's callbacks, run on the decoder thread. Public so that a
    /// test or a benchmark can drive the conversion of a stream that is not
    /// subscribed, from the one thread that then plays the decoder's part.
    /// The decoder thread queues with `Wake::deferred` and wakes the host
    /// once per word list; a caller of its own wakes it per element.
    void on_raw_ap(const RawAPData& raw, demux::Wake wake = demux::Wake::now);
    void reset_output();

private:
    GainSnapshot<CHANNEL_COUNT> gains_;
    const std::size_t max_queued_;
    std::shared_ptr<APDataQueue> queue_;
    std::atomic<uint64_t> packets_{0};  // written by the decoder thread only
    std::atomic<uint64_t> drops_{0};
    // The loss accounting (see stream_counters.h), written by the decoder
    // thread only.
    LossTally tally_;
    uint64_t accounted_ = 0;  // words the decoder has reported on (the decoder thread's)
    static constexpr uint32_t BUDGET_LOOK_SETS = 32;
    uint32_t sets_until_budget_look_ = 0;  // the decoder thread's
    bool over_budget_ = false;             // the decoder thread's: the budget's answer at its last look
    std::unique_ptr<DemuxWorker> worker_;  // last: stopped before the members it uses go
    // The worker, for the decoder thread's own reads while `worker_` is
    // being reset (set once, in the constructor's body).
    const demux::NeuropixelsWorker* decoding_ = nullptr;
};

}  // namespace pelionp::NP2
