#pragma once
// The simulated board's data stream: one producer thread per running
// stream, emitting whole 16-byte words in sample ticks of 1/30000 s. Each
// tick starts with a timestamp word (SID 4) carrying the tick count; then
// every enabled stream adds its words for the tick.
//
// What produces data is asked anew for every buffer through `Producers`, so
// headstages may be plugged, unplugged or have their sources swapped while
// the stream runs.
//
// Threading: the stream thread calls `Producers` and the sources; the
// owner calls stop()/join() and destroys the stream. A callback exception
// never leaves the thread: it is logged at error level and the stream goes
// on. After Stop no event follows.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelio/basic_device.h"
#include "sim/stream_encoders.h"
#include "sim/stream_source.h"

namespace pelionp::sim {

/// One enabled stream for the next buffer.
struct Producer {
    uint8_t sid;
    std::shared_ptr<StreamSource> source;
};

struct StreamOptions {
    /// At the probes' real rate; false produces as fast as it can.
    bool paced = true;
    /// Deliver DataView events instead of OwnedData.
    bool views = false;
    /// Ticks per delivered buffer (30 is 1 ms of data), on average when cut.
    uint32_t ticks_per_buffer = 30;
    /// Cuts the buffers at varying word boundaries drawn from this seed, as
    /// real transfers end wherever the device had got to: a tick, and any
    /// stream's words within it, may be split across two buffers, and buffer
    /// lengths vary. 0: every buffer holds whole ticks, `ticks_per_buffer`
    /// of them. The words are the same either way; the last ones are
    /// delivered before Stop.
    uint32_t cut_seed = 1;
};

/// Faults a test can arm on a running or future stream.
struct StreamFaults {
    std::atomic<int> errors_to_report{0};  // Error events before the next buffers
    std::atomic<bool> device_stop{false};  // the device ends the stream itself
};

class BoardStream final : public pelio::BasicDevice::DataStream {
public:
    /// Asked once per buffer for the streams that are enabled now.
    using Producers = std::function<std::vector<Producer>()>;

    BoardStream(pelio::BasicDevice::StreamCallback callback, Producers producers, StreamOptions options,
                std::shared_ptr<StreamFaults> faults);
    ~BoardStream() override;

    bool stop() override;
    /// Throws std::system_error (resource_deadlock_would_occur) from the
    /// stream's own thread.
    void join() override;

    /// Buffers delivered so far.
    uint64_t buffers_delivered() const noexcept { return buffers_.load(); }

private:
    void run();
    void deliver(pelio::DataStream::Events&& event);
    void build_buffer(std::vector<uint8_t>& out);
    // Delivers `bytes` as one buffer (a view or an owned copy); false if no
    // copy could be made.
    bool deliver_bytes(const uint8_t* bytes, std::size_t size);

    pelio::BasicDevice::StreamCallback callback_;
    Producers producers_;
    StreamOptions options_;
    std::shared_ptr<StreamFaults> faults_;
    TimestampEncoder timestamps_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> buffers_{0};
    std::mutex join_mutex_;
    std::thread thread_;
};

}  // namespace pelionp::sim
