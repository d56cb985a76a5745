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

namespace pelionp::sim {

inline constexpr std::size_t WORD_SIZE = 16;
inline constexpr uint8_t TIMESTAMP_SID = 4;
inline constexpr uint8_t IO_SID = 5;
/// Sample ticks per second (the probes' AP sample rate).
inline constexpr uint32_t TICKS_PER_SECOND = 30000;

/// Per-SID 8-bit row counters, as the board keeps them.
using RowCounters = std::array<uint8_t, 16>;

/// Words one stream contributes per tick. Called on the stream thread only,
/// one tick after the other; a source keeps its own position.
class StreamSource {
public:
    virtual ~StreamSource() = default;
    /// Appends this tick's words for `sid` to `out` (whole words), stepping
    /// `counters[sid]` once per word.
    virtual void append_tick(uint8_t sid, RowCounters& counters, std::vector<uint8_t>& out) = 0;
};

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
    /// Ticks per delivered buffer (30 is 1 ms of data).
    uint32_t ticks_per_buffer = 30;
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
    void build_buffer(uint64_t& tick, std::vector<uint8_t>& out);

    pelio::BasicDevice::StreamCallback callback_;
    Producers producers_;
    StreamOptions options_;
    std::shared_ptr<StreamFaults> faults_;
    RowCounters counters_{};
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> buffers_{0};
    std::mutex join_mutex_;
    std::thread thread_;
};

}  // namespace pelionp::sim
