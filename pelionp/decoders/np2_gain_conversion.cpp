#include "pelionp/decoders/np2_gain_conversion.h"

#include <spdlog/spdlog.h>

#include "pelionp/decoders/gain.h"

namespace pelionp::NP2 {
namespace {

// A set converted as the queue builds its slot (see enqueue_made).
struct Converted {
    const RawAPData& raw;
    std::span<const float, CHANNEL_COUNT> gain;
    operator APData() const {  // NOLINT: converts on purpose, in place
        APData out;
        convert_raw_ap(raw, gain, out);
        return out;
    }
};

}  // namespace

void convert_raw_ap(const RawAPData& raw, std::span<const float, CHANNEL_COUNT> gain, APData& out) {
    out.timestamp = raw.timestamp;
    correct_codes<CHANNEL_COUNT, 2048, 1>(raw.samples.data(), gain.data(), out.samples);
}

SetFate queue_ap_set(const RawAPData& raw, std::span<const float, CHANNEL_COUNT> gain, APDataQueue& queue,
                     uint64_t& packet_count, std::size_t max_elements, demux::Wake wake) {
    ++packet_count;
    if (queue.size_approx() >= max_elements) {
        spdlog::warn("Queue is full, dropping packet at timestamp {}", raw.timestamp);
        return SetFate::queue_full;
    }
    // The path of a set's samples from the device buffer to the host, one
    // pass each: the decoder reads the words in place and writes the raw set
    // (RowDecoder, by reference to here); the conversion writes the queue's
    // slot (this call); the host's dequeue copies it out.
    if (!queue.enqueue_made(Converted{raw, gain}, wake)) {
        spdlog::error("Failed to enqueue data packet at timestamp {}, memory might be full", raw.timestamp);
        return SetFate::out_of_memory;
    }
    return SetFate::queued;
}

bool queue_ap_data(const RawAPData& raw, std::span<const float, CHANNEL_COUNT> gain, APDataQueue& queue,
                   uint64_t& packet_count, std::size_t max_elements, demux::Wake wake) {
    return queue_ap_set(raw, gain, queue, packet_count, max_elements, wake) == SetFate::queued;
}

std::size_t reset_ap_output(APDataQueue& queue, uint64_t& packet_count) {
    packet_count = 0;
    return queue.clear();
}

}  // namespace pelionp::NP2
