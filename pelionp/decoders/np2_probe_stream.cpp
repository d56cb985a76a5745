#include "pelionp/decoders/np2_probe_stream.h"

namespace pelionp::NP2 {

ProbeStream::ProbeStream(demux::SID sid, Gains gains, std::size_t max_queued)
    : gains_(gains),
      max_queued_(max_queued),
      queue_(std::make_shared<APDataQueue>()),
      worker_(std::make_unique<DemuxWorker>(
          sid, [this](RawAPData raw) { on_raw_ap(raw, demux::Wake::deferred); }, [this] { reset_output(); },
          [this] { queue_->signal_deferred(); })) {}

ProbeStream::~ProbeStream() { worker_.reset(); }

StreamCounters ProbeStream::counters() const noexcept {
    return {packets_.load(std::memory_order_relaxed), drops_.load(std::memory_order_relaxed), worker_->resyncs()};
}

void ProbeStream::on_raw_ap(const RawAPData& raw, demux::Wake wake) {
    // One writer (this thread): the counters are loaded and stored, not
    // read-modify-written.
    uint64_t packets = packets_.load(std::memory_order_relaxed);
    const bool queued = queue_ap_data(raw, gains_.snapshot(), *queue_, packets, max_queued_, wake);
    packets_.store(packets, std::memory_order_relaxed);
    if (!queued) drops_.store(drops_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void ProbeStream::reset_output() {
    uint64_t packets = 0;
    reset_ap_output(*queue_, packets);
    packets_.store(packets, std::memory_order_relaxed);
    drops_.store(0, std::memory_order_relaxed);
}

}  // namespace pelionp::NP2
