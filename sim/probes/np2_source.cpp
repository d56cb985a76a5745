#include "sim/probes/np2_source.h"

#include <algorithm>
#include <stdexcept>

namespace pelionp::sim {

NP2ProbeSource::NP2ProbeSource(std::shared_ptr<const NP2Probe> probe) : probe_(std::move(probe)) {
    if (!probe_) throw std::invalid_argument("NP2 probe source needs a probe");
}

void NP2ProbeSource::follow_chip() {
    const uint64_t generation = probe_->chip().sources_generation();
    if (generation == generation_) return;
    // Read the map after the generation: an upload in between only bumps the
    // generation again, and the next tick reads the map anew.
    generation_ = generation;
    const Sources now = probe_->chip().sources();
    if (now != sources_) {
        sources_ = now;
        cache_.invalidate();
    }
}

std::span<const uint8_t, NP2Encoder::SUPERFRAME_BYTES> NP2ProbeSource::cached_words(uint64_t tick) {
    const uint64_t slot = tick % SIGNAL_PERIOD_TICKS;
    if (const auto words = cache_.find(slot); !words.empty()) return words.first<NP2Encoder::SUPERFRAME_BYTES>();
    // Made by an encoder of its own (no faults), from the same samples.
    const auto codes = np2_superframe(probe_->identity().serial, sources_, tick);
    NP2Encoder maker(0, NP2Samples{.ap = [&codes](uint64_t, int c) { return codes[static_cast<std::size_t>(c)]; }});
    std::vector<uint8_t> words;
    words.reserve(NP2Encoder::SUPERFRAME_BYTES);
    maker.append_superframes(words, 1);
    const auto slot_bytes = cache_.fill(slot);
    std::copy(words.begin(), words.end(), slot_bytes.begin());
    return std::span<const uint8_t>(slot_bytes).first<NP2Encoder::SUPERFRAME_BYTES>();
}

void NP2ProbeSource::append_tick(uint8_t sid, std::vector<uint8_t>& out) {
    append_tick_at(sid, latest_timestamp(out), out);
}

void NP2ProbeSource::append_tick_at(uint8_t sid, uint64_t tick, std::vector<uint8_t>& out) {
    if (!encoder_ || encoder_->framer().sid() != sid) {
        encoder_.emplace(sid, NP2Samples{.ap = [this](uint64_t, int c) { return codes_[static_cast<std::size_t>(c)]; }});
    }
    follow_chip();
    if (encoder_->append_encoded_superframe(out, cached_words(tick))) return;
    // A fault is armed: send from samples. The encoder loads a superframe's
    // codes at its first subrow: one superframe per tick, so the whole
    // superframe carries this tick's codes.
    codes_ = np2_superframe(probe_->identity().serial, sources_, tick);
    encoder_->append_superframes(out, 1);
}

}  // namespace pelionp::sim
