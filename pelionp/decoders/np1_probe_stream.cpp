#include "pelionp/decoders/np1_probe_stream.h"

namespace pelionp::NP1 {
namespace {

// One writer (the decoder thread): a relaxed increment is a load and a store.
void bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

ProbeStream::ProbeStream(demux::SID sid, Gains ap_gains, Gains lfp_gains, std::size_t max_queued)
    : ap_gains_(ap_gains),
      lfp_gains_(lfp_gains),
      max_queued_(max_queued),
      queue_(std::make_shared<ElectrodePacketQueue>()),
      worker_(std::make_unique<DemuxWorker>(
          sid, [this](APData d) { on_ap(d, demux::Wake::deferred); }, [this](LPData l) { on_lfp(l); }, [this] { reset_output(); },
          [this] { queue_->signal_deferred(); })) {}

ProbeStream::~ProbeStream() { worker_.reset(); }

void ProbeStream::set_gains(Gains ap_gains, Gains lfp_gains) {
    ap_gains_.set(ap_gains);
    lfp_gains_.set(lfp_gains);
}

void ProbeStream::set_gain(std::size_t channel, float ap_gain, float lfp_gain) {
    ap_gains_.set_channel(channel, ap_gain);
    lfp_gains_.set_channel(channel, lfp_gain);
}

StreamCounters ProbeStream::counters() const noexcept {
    return {packets_.load(std::memory_order_relaxed), drops_.load(std::memory_order_relaxed), worker_->resyncs()};
}

void ProbeStream::on_ap(const APData& d, demux::Wake wake) {
    const bool queued = store_ap_data(assembly_, d, ap_gains_.snapshot(), *queue_, max_queued_, wake);
    if (d.index == SUPERFRAME_SIZE - 1) {
        bump(packets_);
        if (!queued) bump(drops_);
    }
}

void ProbeStream::on_lfp(const LPData& l) { store_lfp_data(assembly_.packet, l, lfp_gains_.snapshot()); }

void ProbeStream::reset_output() {
    packets_.store(0, std::memory_order_relaxed);
    drops_.store(0, std::memory_order_relaxed);
    reset_electrode_output(assembly_, *queue_);
}

}  // namespace pelionp::NP1
