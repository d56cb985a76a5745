// The coordinator with an NP1, two NP2 and the IO worker subscribed, fed
// arbitrary bytes. Input: one byte giving the buffer size in words, then the
// stream bytes, cut into buffers of that size (a last partial word is
// dropped, as the device stream never delivers one). Every buffer must come
// back through its release function once the decoders are done with it.
#include <array>

#include "pelionp/decoders/np1_demux_worker.h"
#include "pelionp/decoders/np2_demux_worker.h"
#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/io_frame_processor.h"
#include "pelionp/logging.h"
#include "tests/fuzz/buffer_flight.h"
#include "tests/fuzz/fuzz_target.h"

using namespace pelionp;

namespace {

// One data path for the whole run: starting and joining the runner and four
// decoder threads per input held the target to a few hundred inputs a
// second. Each input starts from a clean state instead: the coordinator's
// bookkeeping reset and every decoder resynced (its queue emptied).
// Workers after the coordinator: they stop first.
//
// NB: the library gets the target's (silenced) logger first. Its own spdlog
// registry then exists before the data path's threads, so it is destroyed
// after them at exit: made lazily by a decoder thread, it went first, and a
// thread's last log line read a freed logger.
struct LibraryLogs {
    LibraryLogs() { use_logger(spdlog::default_logger()); }
};

struct DataPath : LibraryLogs {
    std::atomic<uint64_t> outputs{0};
    demux::DataStreamCoordinator coordinator;
    NP1::DemuxWorker np1{demux::SID{0}, [this](NP1::APData) { ++outputs; }, [this](NP1::LPData) { ++outputs; },
                         [] {}};
    NP2::DemuxWorker np2_dock0{demux::SID{8}, [this](NP2::RawAPData) { ++outputs; }, [] {}};
    NP2::DemuxWorker np2_dock1{demux::SID{12}, [this](NP2::RawAPData) { ++outputs; }, [] {}};
    io::IOFrameProcessor io{[this](io::IOFrame) { ++outputs; }, [] {}};

    std::array<demux::NeuropixelsWorker*, 4> workers() { return {&np1, &np2_dock0, &np2_dock1, &io}; }

    DataPath() {
        for (demux::NeuropixelsWorker* worker : workers()) {
            auto subscribed = coordinator.push_subscription({worker->sid, worker->queue()});
            if (!subscribed) fuzz::fail("subscription refused: " + subscribed.error());
        }
    }

    // NB: only the decoders that the last input may have reached (a word
    // naming their SID, with or without the preamble) are resynced, a round
    // trip with each thread; the others are as their last resync left them.
    void start_clean(const uint8_t* words, std::size_t length) {
        if (auto reset = coordinator.reset(); !reset) fuzz::fail("coordinator reset refused: " + reset.error());
        for (demux::NeuropixelsWorker* worker : workers()) {
            const auto sid = static_cast<std::size_t>(to_underlying(worker->sid));
            if (reached[sid]) worker->wait_for_resync();
            reached[sid] = false;
        }
        for (std::size_t at = 0; at + demux::STREAM_WORD_BYTES <= length; at += demux::STREAM_WORD_BYTES)
            reached[words[at] & 0x0F] = true;
    }
    std::array<bool, 16> reached{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::QuietLogs quiet;
    static DataPath path;
    if (size == 0) return 0;
    const std::size_t buffer_bytes = demux::STREAM_WORD_BYTES * (1 + data[0]);
    ++data;
    --size;

    path.start_clean(data, size);
    const std::size_t whole = size / demux::STREAM_WORD_BYTES * demux::STREAM_WORD_BYTES;
    for (std::size_t at = 0; at < whole; at += buffer_bytes)
        path.coordinator.push_buffer(fuzz::make_buffer(std::span(data + at, std::min(buffer_bytes, whole - at))));

    fuzz::wait_until_released();
    return 0;
}
