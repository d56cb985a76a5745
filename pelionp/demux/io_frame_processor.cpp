#include "pelionp/demux/io_frame_processor.h"

#include <stdexcept>

#include <spdlog/spdlog.h>

#include "pelionp/demux/worker_loop.h"

namespace pelionp::io {

namespace {

template <class T>
T load_le(const uint8_t* p) {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v = static_cast<T>(v | (static_cast<T>(p[i]) << (8 * i)));
    }
    return v;
}

}  // namespace

IOFrameDecoder::IOFrameDecoder(std23::move_only_function<void(IOFrame)> on_frame) : on_frame_(std::move(on_frame)) {
    if (!on_frame_) {
        throw std::invalid_argument("IO frame callback must not be empty");
    }
}

void IOFrameDecoder::reset() {
    sync_count_ = 0;
    next_index_ = 0;
    frame_ = {};
}

void IOFrameDecoder::decode(uint64_t timestamp, const uint8_t* p) {
    const int32_t index = p[0];
    if (sync_count_ < SYNCED) {
        // Six in-order words synchronise; none of them is delivered.
        if (index != ++sync_count_) {
            sync_count_ = 0;
        } else if (sync_count_ == SYNCED) {
            next_index_ = 1;
            spdlog::debug("IOFrame synchronized");
        }
        return;
    }
    if (index != next_index_) {
        spdlog::warn("IOFrame lost sync at index {}, expected {}, got {}", next_index_, next_index_, index);
        sync_count_ = 0;
        return;
    }
    const uint8_t* data = p + 6;
    switch (index) {
        case 1:
            frame_.timestamp = timestamp;
            frame_.value_u64 = load_le<uint64_t>(data);
            break;
        case 2:
            frame_.values_u32[0] = load_le<uint32_t>(data);
            frame_.values_u32[1] = load_le<uint32_t>(data + 4);
            break;
        default:
            for (int k = 0; k < 4; ++k) {
                frame_.values_u16[4 * (index - 3) + k] = load_le<uint16_t>(data + 2 * k);
            }
            break;
    }
    if (index == 6) {
        on_frame_(frame_);
        next_index_ = 1;
    } else {
        ++next_index_;
    }
}

IOFrameProcessor::IOFrameProcessor(std23::move_only_function<void(IOFrame)>&& on_frame,
                                   std23::move_only_function<void()> reset_output_)
    : NeuropixelsWorker(demux::SID::IO, std::move(reset_output_)) {
    start(IOFrameDecoder(std::move(on_frame)));
}

IOFrameProcessor::~IOFrameProcessor() { stop_and_join(); }

}  // namespace pelionp::io
