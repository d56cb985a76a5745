#include "sim/stream.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <system_error>

#include <spdlog/spdlog.h>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace pelionp::sim {
namespace {

void free_buffer(uint8_t* data) { std::free(data); }

}  // namespace

BoardStream::BoardStream(pelio::BasicDevice::StreamCallback callback, Producers producers, StreamOptions options,
                         std::shared_ptr<StreamFaults> faults)
    : callback_(std::move(callback)),
      producers_(std::move(producers)),
      options_(options),
      faults_(std::move(faults)),
      thread_([this] { run(); }) {}

BoardStream::~BoardStream() {
    stop();
    join();
}

bool BoardStream::stop() { return running_.exchange(false); }

void BoardStream::join() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "join from the stream's own thread");
    }
    std::lock_guard lock(join_mutex_);
    if (thread_.joinable()) thread_.join();
}

void BoardStream::deliver(pelio::DataStream::Events&& event) {
    try {
        callback_(std::move(event));
    } catch (const std::exception& e) {
        spdlog::error("Simulated stream: callback threw: {}", e.what());
    } catch (...) {
        spdlog::error("Simulated stream: callback threw a non-standard exception");
    }
}

bool BoardStream::deliver_bytes(const uint8_t* bytes, std::size_t size) {
    if (options_.views) {
        deliver(pelio::DataStream::DataView{bytes, size});
        return true;
    }
    auto* owned = static_cast<uint8_t*>(std::malloc(size));
    if (owned == nullptr) {
        deliver(pelio::DataStream::Error{"Simulated stream: out of memory"});
        return false;
    }
    std::memcpy(owned, bytes, size);
    deliver(pelio::DataStream::OwnedData(free_buffer, owned, size));
    return true;
}

void BoardStream::build_buffer(std::vector<uint8_t>& out) {
    const auto producers = producers_();
    for (uint32_t t = 0; t < options_.ticks_per_buffer; ++t) {
        const uint64_t timestamp = timestamps_.next();
        timestamps_.append(out);
        for (const auto& producer : producers) producer.source->append_tick_at(producer.sid, timestamp, out);
    }
}

void BoardStream::run() {
#if defined(__linux__)
    // What a recording's CPU split shows as the board's own work.
    (void)pthread_setname_np(pthread_self(), "sim-board");
#endif
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<clock::duration>(
        std::chrono::duration<double>(double(options_.ticks_per_buffer) / TICKS_PER_SECOND));
    auto next = clock::now();
    std::vector<uint8_t> bytes;  // reused: the words not delivered yet, copied out per event
    std::mt19937 cuts(options_.cut_seed);
    while (running_.load()) {
        for (int n = faults_->errors_to_report.load(); n > 0; n = faults_->errors_to_report.load()) {
            if (faults_->errors_to_report.compare_exchange_weak(n, n - 1)) {
                deliver(pelio::DataStream::Error{"Simulated transfer error"});
            }
        }
        if (faults_->device_stop.exchange(false)) {
            running_.store(false);
            break;
        }
        if (options_.paced) {
            next += period;
            std::this_thread::sleep_until(next);
            if (!running_.load()) break;
        }
        if (options_.cut_seed == 0) bytes.clear();
        build_buffer(bytes);
        if (bytes.empty()) continue;
        // Cut: a prefix of 1 to all of the words held (about two batches
        // once it has settled); the rest waits for the next buffer.
        std::size_t size = bytes.size();
        if (options_.cut_seed != 0) {
            std::uniform_int_distribution<std::size_t> words(1, bytes.size() / STREAM_WORD_BYTES);
            size = words(cuts) * STREAM_WORD_BYTES;
        }
        if (!deliver_bytes(bytes.data(), size)) continue;
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        buffers_.fetch_add(1);
    }
    if (!bytes.empty() && deliver_bytes(bytes.data(), bytes.size())) buffers_.fetch_add(1);
    deliver(pelio::DataStream::Stop{});
}

}  // namespace pelionp::sim
