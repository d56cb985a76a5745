#include "pelionp/decoders/np1_probe_stream.h"

#include <algorithm>

#include "pelionp/demux/byte_budget.h"
#include <utility>

namespace pelionp::NP1 {
namespace {

void add(std::atomic<uint64_t>& counter, uint64_t n) { single_writer_add(counter, n); }
void bump(std::atomic<uint64_t>& counter) { add(counter, 1); }
uint64_t get(const std::atomic<uint64_t>& counter) { return relaxed_get(counter); }

}  // namespace

ProbeStream::ProbeStream(demux::SID sid, Gains ap_gains, Gains lfp_gains, std::size_t max_queued)
    : ap_gains_(ap_gains),
      lfp_gains_(lfp_gains),
      max_queued_(max_queued),
      queue_(std::make_shared<ElectrodePacketQueue>()),
      worker_(std::make_unique<DemuxWorker>(
          sid, [this](const APData& d) { on_ap(d, demux::Wake::deferred); }, [this](const LPData& l) { on_lfp(l); }, [this] { reset_output(); },
          [this] { queue_->signal_deferred(); })) {
    queue_->charge_to(demux::data_path_budget());
    decoding_ = worker_.get();
}

ProbeStream::~ProbeStream() {
    worker_.reset();
    // A host blocked on the queue wakes to a closed one; one that holds only
    // a reference is let out of its call before the queue goes.
    queue_->close();
    queue_->wait_for_consumers_to_leave();
}

void ProbeStream::set_gains(Gains ap_gains, Gains lfp_gains) {
    ap_gains_.set(ap_gains);
    lfp_gains_.set(lfp_gains);
}

void ProbeStream::set_gain(std::size_t channel, float ap_gain, float lfp_gain) {
    ap_gains_.set_channel(channel, ap_gain);
    lfp_gains_.set_channel(channel, lfp_gain);
}

StreamCounters ProbeStream::counters() const noexcept {
    return tally_.counters(get(packets_), get(drops_), *worker_, WORDS_PER_SET);
}

void ProbeStream::on_ap(const APData& d, demux::Wake wake) {
    accounted_ += uint64_t{d.words} + d.sync_lost_words;
    add(tally_.sync, d.sync_lost_words);
    if (d.index == 0 && pending_ > 0) {
        // A superframe that never reached its twelfth set (its end was lost
        // with the decoder's sync) is dropped as incomplete.
        add(tally_.incomplete, std::exchange(pending_, 0));
    }
    pending_ += d.words;
    // The byte budget is looked at where the queue is: at a superframe's
    // first set, so that a dropped one is not converted.
    if (d.index == 0) over_budget_ = demux::data_path_budget().over();
    PacketFate fate = PacketFate::assembling;
    if (!over_budget_) {
        if (d.index == SUPERFRAME_SIZE - 1 && d.complete && pending_ != 0 && pending_ != WORDS_PER_PACKET) {
            // Complete by its group numbers but not by its words (frames
            // renumbered on the way): it holds samples of other groups, and
            // is dropped as incomplete. So every packet queued is 780 words.
            // (A caller that drives the stream itself gives no account.)
            APData gap = d;
            gap.complete = false;
            fate = store_ap_set(assembly_, gap, ap_gains_.snapshot(), *queue_, max_queued_, wake);
        } else {
            fate = store_ap_set(assembly_, d, ap_gains_.snapshot(), *queue_, max_queued_, wake);
        }
    } else if (d.index == SUPERFRAME_SIZE - 1) {
        add(tally_.budget, pending_);
        pending_ = 0;
        bump(packets_);
        bump(drops_);
        return;
    }
    if (d.index == SUPERFRAME_SIZE - 1) {
        bump(packets_);
        if (fate != PacketFate::queued) bump(drops_);
    }
    switch (fate) {
        case PacketFate::assembling:
            return;
        case PacketFate::queued:
            add(tally_.delivered, pending_);
            break;
        case PacketFate::queue_full:
            add(tally_.queue_full, pending_);
            break;
        case PacketFate::incomplete:
            add(tally_.incomplete, pending_);
            break;
        case PacketFate::out_of_memory:
            add(tally_.memory, pending_);
            break;
    }
    pending_ = 0;
}

void ProbeStream::on_lfp(const LPData& l) { store_lfp_data(assembly_.packet, l, lfp_gains_.snapshot()); }

void ProbeStream::reset_output() {
    packets_.store(0, std::memory_order_relaxed);
    drops_.store(0, std::memory_order_relaxed);
    over_budget_ = false;
    // Every packet queued counts 780 words (see on_ap).
    const uint64_t cleared = uint64_t{reset_electrode_output(assembly_, *queue_)} * WORDS_PER_PACKET;
    const uint64_t delivered = get(tally_.delivered);
    tally_.delivered.store(delivered - std::min(cleared, delivered), std::memory_order_relaxed);
    // What the decoder took since its last set was cut off by its reset.
    const uint64_t decoded = decoding_ != nullptr ? decoding_->words_decoded() : 0;
    const uint64_t cut_off = decoded > accounted_ ? decoded - accounted_ : 0;
    accounted_ += cut_off;
    add(tally_.resync, cleared + pending_ + cut_off);
    pending_ = 0;
}

}  // namespace pelionp::NP1
