#include "sim/headstages/placeholder_sources.h"

namespace pelionp::sim {
namespace {

/// Appends one word: preamble and SID, the SID's row counter, payload.
uint8_t* append_word(uint8_t sid, RowCounters& counters, std::vector<uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + WORD_SIZE, 0);
    out[at] = WORD_PREAMBLE | sid;
    out[at + 1] = counters[sid]++;
    return &out[at + 2];
}

class PatternSource final : public StreamSource {
public:
    explicit PatternSource(std::size_t words_per_tick) : words_per_tick_(words_per_tick) {}

    void append_tick(uint8_t sid, RowCounters& counters, std::vector<uint8_t>& out) override {
        for (std::size_t w = 0; w < words_per_tick_; ++w) {
            uint8_t* payload = append_word(sid, counters, out);
            for (int i = 0; i < 8; ++i) payload[i] = static_cast<uint8_t>(tick_ >> (8 * i));
            payload[8] = static_cast<uint8_t>(w);
            payload[9] = static_cast<uint8_t>(w >> 8);
        }
        ++tick_;
    }

private:
    std::size_t words_per_tick_;
    uint64_t tick_ = 0;
};

class IOFrameSource final : public StreamSource {
public:
    void append_tick(uint8_t sid, RowCounters& counters, std::vector<uint8_t>& out) override {
        if (tick_++ % IO_TICKS_PER_FRAME != 0) return;
        for (std::size_t index = 1; index <= IO_WORDS_PER_FRAME; ++index) {
            uint8_t* payload = append_word(sid, counters, out);
            payload[0] = static_cast<uint8_t>(index);
            for (int i = 0; i < 8; ++i) payload[6 + i] = static_cast<uint8_t>(frame_ >> (8 * i));
        }
        ++frame_;
    }

private:
    uint64_t tick_ = 0;
    uint64_t frame_ = 0;
};

}  // namespace

std::shared_ptr<StreamSource> make_placeholder_np1_source() {
    return std::make_shared<PatternSource>(NP1_WORDS_PER_TICK);
}

std::shared_ptr<StreamSource> make_placeholder_np2_source() {
    return std::make_shared<PatternSource>(NP2_WORDS_PER_TICK);
}

std::shared_ptr<StreamSource> make_placeholder_io_source() { return std::make_shared<IOFrameSource>(); }

}  // namespace pelionp::sim
