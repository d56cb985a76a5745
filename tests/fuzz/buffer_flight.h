#pragma once
// Shared by the fuzz targets that feed the coordinator: device buffers
// copied from the input, each counted until the data path releases it, and a
// wait for the last release. The release is a plain function (the device
// buffer's deleter), so the count is the process's.
//
// NB: the waiter is woken by the last release only: a wake-up per buffer was
// a good part of an input's time.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>

#include "pelionp/demux/sid_queue.h"
#include "tests/fuzz/fuzz_target.h"

namespace pelionp::fuzz {

namespace flight {
inline std::mutex mutex;
inline std::condition_variable released;
inline std::size_t in_flight = 0;

inline void release(uint8_t* bytes) {
    delete[] bytes;
    std::lock_guard lock(mutex);
    if (--in_flight == 0) released.notify_all();
}
}  // namespace flight

inline demux::DataBuffer make_buffer(std::span<const uint8_t> bytes) {
    auto* copy = new uint8_t[bytes.size()];
    std::memcpy(copy, bytes.data(), bytes.size());
    std::lock_guard lock(flight::mutex);
    ++flight::in_flight;
    return {bytes.size(), std::unique_ptr<uint8_t[], void (*)(uint8_t*)>(copy, &flight::release)};
}

/// Fails the run unless every buffer handed over came back within a generous deadline.
inline void wait_until_released() {
    std::unique_lock lock(flight::mutex);
    if (!flight::released.wait_for(lock, std::chrono::seconds(20), [] { return flight::in_flight == 0; }))
        fail("buffers still held by the data path");
}

}  // namespace pelionp::fuzz
