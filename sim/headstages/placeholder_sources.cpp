#include "sim/headstages/placeholder_sources.h"

#include <map>

namespace pelionp::sim {
namespace {

/// One encoder per SID the source was asked for, made on first use: a
/// headstage moved to another port starts a fresh stream there.
template <typename Encoder, typename Make, typename Tick>
class EncodingSource final : public StreamSource {
public:
    EncodingSource(Make make, Tick tick) : make_(std::move(make)), tick_(std::move(tick)) {}

    void append_tick(uint8_t sid, std::vector<uint8_t>& out) override {
        auto it = encoders_.find(sid);
        if (it == encoders_.end()) it = encoders_.emplace(sid, make_(sid)).first;
        tick_(it->second, out);
    }

private:
    Make make_;
    Tick tick_;
    std::map<uint8_t, Encoder> encoders_;
};

template <typename Encoder, typename Make, typename Tick>
std::shared_ptr<StreamSource> encoding_source(Make make, Tick tick) {
    return std::make_shared<EncodingSource<Encoder, Make, Tick>>(std::move(make), std::move(tick));
}

}  // namespace

std::shared_ptr<StreamSource> make_placeholder_np1_source() {
    return encoding_source<NP1Encoder>(
        [](uint8_t sid) { return NP1Encoder(sid, NP1Samples{placeholder_np1_ap, placeholder_np1_lfp}); },
        [](NP1Encoder& encoder, std::vector<uint8_t>& out) { encoder.append_beats(out, encoder.words_per_tick()); });
}

std::shared_ptr<StreamSource> make_placeholder_np2_source() {
    return encoding_source<NP2Encoder>(
        [](uint8_t sid) { return NP2Encoder(sid, NP2Samples{placeholder_np2_ap}); },
        [](NP2Encoder& encoder, std::vector<uint8_t>& out) { encoder.append_subrows(out, encoder.words_per_tick()); });
}

std::shared_ptr<StreamSource> make_placeholder_io_source() {
    struct IOTicks {
        IOEncoder encoder{[](uint64_t frame) { return IOFrameContent{.value_u64 = frame}; }};
        uint64_t tick = 0;
    };
    return encoding_source<IOTicks>([](uint8_t) { return IOTicks{}; },
                                    [](IOTicks& io, std::vector<uint8_t>& out) {
                                        if (io.tick++ % IO_TICKS_PER_FRAME == 0) io.encoder.append_frames(out, 1);
                                    });
}

}  // namespace pelionp::sim
