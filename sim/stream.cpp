#include "sim/stream.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

#include <spdlog/spdlog.h>

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

void BoardStream::build_buffer(std::vector<uint8_t>& out) {
    const auto producers = producers_();
    out.clear();
    for (uint32_t t = 0; t < options_.ticks_per_buffer; ++t) {
        const uint64_t timestamp = timestamps_.next();
        timestamps_.append(out);
        for (const auto& producer : producers) producer.source->append_tick_at(producer.sid, timestamp, out);
    }
}

void BoardStream::run() {
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<clock::duration>(
        std::chrono::duration<double>(double(options_.ticks_per_buffer) / TICKS_PER_SECOND));
    auto next = clock::now();
    std::vector<uint8_t> bytes;  // reused: one buffer's worth, copied out per event
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
        build_buffer(bytes);
        if (options_.views) {
            deliver(pelio::DataStream::DataView{bytes.data(), bytes.size()});
        } else {
            auto* owned = static_cast<uint8_t*>(std::malloc(bytes.size()));
            if (owned == nullptr) {
                deliver(pelio::DataStream::Error{"Simulated stream: out of memory"});
                continue;
            }
            std::memcpy(owned, bytes.data(), bytes.size());
            deliver(pelio::DataStream::OwnedData(free_buffer, owned, bytes.size()));
        }
        buffers_.fetch_add(1);
    }
    deliver(pelio::DataStream::Stop{});
}

}  // namespace pelionp::sim
