#include "pelionp/decoders/np2_probe_stream.h"

#include <algorithm>

#include "pelionp/demux/byte_budget.h"

namespace pelionp::NP2 {
namespace {

void add(std::atomic<uint64_t>& counter, uint64_t n) { single_writer_add(counter, n); }
uint64_t get(const std::atomic<uint64_t>& counter) { return relaxed_get(counter); }

}  // namespace

ProbeStream::ProbeStream(demux::SID sid, Gains gains, std::size_t max_queued)
    : gains_(gains),
      max_queued_(max_queued),
      queue_(std::make_shared<APDataQueue>()),
      worker_(std::make_unique<DemuxWorker>(
          sid, [this](const RawAPData& raw) { on_raw_ap(raw, demux::Wake::deferred); }, [this] { reset_output(); },
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

StreamCounters ProbeStream::counters() const noexcept {
    return tally_.counters(get(packets_), get(drops_), *worker_, WORDS_PER_SET);
}

void ProbeStream::on_raw_ap(const RawAPData& raw, demux::Wake wake) {
    accounted_ += uint64_t{raw.words} + raw.sync_lost_words;
    add(tally_.sync, raw.sync_lost_words);
    if (raw.words != 0 && raw.words != WORDS_PER_SET) {
        // Rows lost or stray subrows taken: the set holds samples of another
        // one. (A caller that drives the stream itself gives no account.)
        add(packets_, 1);
        add(drops_, 1);
        add(tally_.incomplete, raw.words);
        return;
    }
    // The byte budget is looked at every BUDGET_LOOK_SETS sets (about a
    // millisecond of the probe, as NP1 looks once a superframe): a look reads
    // a line that every decoder and host writes.
    if (sets_until_budget_look_ == 0) {
        over_budget_ = demux::data_path_budget().over();
        sets_until_budget_look_ = BUDGET_LOOK_SETS;
    }
    --sets_until_budget_look_;
    if (over_budget_) {  // dropped before it is converted
        add(packets_, 1);
        add(drops_, 1);
        add(tally_.budget, raw.words);
        return;
    }
    uint64_t packets = packets_.load(std::memory_order_relaxed);
    const SetFate fate = queue_ap_set(raw, gains_.snapshot(), *queue_, packets, max_queued_, wake);
    packets_.store(packets, std::memory_order_relaxed);
    if (fate != SetFate::queued) add(drops_, 1);
    switch (fate) {
        case SetFate::queued:
            add(tally_.delivered, raw.words);
            break;
        case SetFate::queue_full:
            add(tally_.queue_full, raw.words);
            break;
        case SetFate::out_of_memory:
            add(tally_.memory, raw.words);
            break;
    }
}

void ProbeStream::reset_output() {
    uint64_t packets = 0;
    // Every set queued has its 48 words (others are dropped as incomplete).
    const uint64_t cleared = uint64_t{reset_ap_output(*queue_, packets)} * WORDS_PER_SET;
    packets_.store(packets, std::memory_order_relaxed);
    drops_.store(0, std::memory_order_relaxed);
    const uint64_t delivered = get(tally_.delivered);
    tally_.delivered.store(delivered - std::min(cleared, delivered), std::memory_order_relaxed);
    // What the decoder took since its last set was cut off by its reset.
    const uint64_t decoded = decoding_ != nullptr ? decoding_->words_decoded() : 0;
    const uint64_t cut_off = decoded > accounted_ ? decoded - accounted_ : 0;
    accounted_ += cut_off;
    add(tally_.resync, cleared + cut_off);
}

}  // namespace pelionp::NP2
