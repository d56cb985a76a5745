#pragma once
// io::IOFrameProcessor: the worker of SID 5 (IO). Six consecutive words with
// indices 1..6 in payload byte 0 make one frame; payload bytes 6..13 carry
// its data (1: u64; 2: two u32; 3..6: four u16 each, all little-endian).
//
// Threading contract: see NeuropixelsWorker. `on_frame` and `reset_output`
// run on the worker's thread.
#include <cstdint>
#include <type_traits>

#include "pelio/std23.h"
#include "pelionp/demux/neuropixels_worker.h"
#include "pelionp/export.h"

namespace pelionp::io {

struct IOFrame {
    uint64_t value_u64;
    uint16_t values_u16[16];
    uint32_t values_u32[2];
    /// The stream timestamp of the frame's first word (index 1).
    uint64_t timestamp = 0;
};
static_assert(std::is_trivially_copyable_v<IOFrame>);

/// Frame assembly; one decoder belongs to one thread.
class PELIONP_API IOFrameDecoder {
public:
    static constexpr int32_t SYNCED = 6;

    /// Throws std::invalid_argument if the callback is empty.
    explicit IOFrameDecoder(std23::move_only_function<void(IOFrame)> on_frame);

    void reset();
    /// One word's 14 payload bytes and its stream timestamp (a frame keeps
    /// its first word's).
    void decode(uint64_t timestamp, const uint8_t* payload);

    [[nodiscard]] bool synced() const { return sync_count_ == SYNCED; }

private:
    std23::move_only_function<void(IOFrame)> on_frame_;
    int32_t sync_count_ = 0;
    int32_t next_index_ = 0;
    IOFrame frame_{};
};

class PELIONP_API IOFrameProcessor : public demux::NeuropixelsWorker {
public:
    /// Throws std::invalid_argument for an empty callback (before any thread
    /// exists) and std::system_error if the thread cannot be started.
    IOFrameProcessor(std23::move_only_function<void(IOFrame)>&& on_frame,
                     std23::move_only_function<void()> reset_output);

    IOFrameProcessor(const IOFrameProcessor&) = delete;
    IOFrameProcessor& operator=(const IOFrameProcessor&) = delete;
    /// Stops and joins the decoding thread first.
    ~IOFrameProcessor() override;
};

}  // namespace pelionp::io
