#include "sim/probes/np2_source.h"

#include <stdexcept>

namespace pelionp::sim {

NP2ProbeSource::NP2ProbeSource(std::shared_ptr<const NP2Probe> probe) : probe_(std::move(probe)) {
    if (!probe_) throw std::invalid_argument("NP2 probe source needs a probe");
}

void NP2ProbeSource::append_tick(uint8_t sid, std::vector<uint8_t>& out) {
    if (!encoder_ || encoder_->framer().sid() != sid) {
        encoder_.emplace(sid, NP2Samples{.ap = [this](uint64_t, int c) { return codes_[static_cast<std::size_t>(c)]; }});
    }
    // The encoder loads a superframe's codes at its first subrow: one
    // superframe per tick, so the whole superframe carries this tick's codes.
    codes_ = probe_->superframe(latest_timestamp(out));
    encoder_->append_superframes(out, 1);
}

}  // namespace pelionp::sim
