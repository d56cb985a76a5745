#include "kessa_device_manager/xdma_data_stream.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <system_error>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelio::xdma {
namespace {

constexpr uint32_t END_OF_PACKET_ENABLE = 0x80;
constexpr auto ERROR_PAUSE = std::chrono::milliseconds(1);
// While a reboot holds the connection released.
constexpr auto RECONNECT_POLL = std::chrono::milliseconds(5);

}  // namespace

XDMA_DataStream::XDMA_DataStream(std::shared_ptr<Handler> handler, BasicDevice::StreamCallback callback)
    : handler_(std::move(handler)), callback_(std::move(callback)), thread_([this] { run(); }) {}

XDMA_DataStream::~XDMA_DataStream() {
    running_ = 0;
    stopping_.raise();
    if (thread_.get_id() != std::this_thread::get_id()) handler_->end_read_in_flight(stopping_, true);
    if (thread_.get_id() == std::this_thread::get_id()) {
        spdlog::critical("XDMA_DataStream destroyed from its own stream thread");
        std::terminate();
    }
    if (thread_.joinable()) thread_.join();
}

bool XDMA_DataStream::stop() {
    const bool was_running = running_.exchange(0) != 0;
    stopping_.raise();
    // Windows: the board ends the read in flight (the raise cannot).
    if (thread_.get_id() != std::this_thread::get_id()) handler_->end_read_in_flight(stopping_, true);
    return was_running;
}

void XDMA_DataStream::join() {
    if (thread_.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    if (thread_.joinable()) thread_.join();
}

void XDMA_DataStream::deliver(pelio::DataStream::Events&& event) {
    try {
        callback_(std::move(event));
    } catch (const std::exception& e) {
        spdlog::error("Kessa datastream callback failed: {}", e.what());
    } catch (...) {
        spdlog::error("Kessa datastream callback failed: unknown exception");
    }
}

void XDMA_DataStream::pulse_end_of_packet(Connection& c) {
    // Off then on restarts the board's packet framing (TLAST); one sequence
    // under the register lock, so a masked write from the host cannot fall
    // between the read and the writes.
    if (c.register_space_bytes() <= TRANSFER_SIZE_REGISTER) return;
    handler_->with_register_lock([&] {
        const uint32_t value = c.read_register(TRANSFER_SIZE_REGISTER);
        c.write_register(TRANSFER_SIZE_REGISTER, value & ~END_OF_PACKET_ENABLE);
        c.write_register(TRANSFER_SIZE_REGISTER, value | END_OF_PACKET_ENABLE);
    });
}

bool XDMA_DataStream::board_gone() const {
    try {
        const auto paths = handler_->backend().list_devices();
        return std::ranges::find(paths, handler_->path()) == paths.end();
    } catch (const std::exception& e) {
        spdlog::warn("Kessa datastream: cannot list devices: {}", e.what());
        return false;
    }
}

void XDMA_DataStream::run() {
    std::optional<uint64_t> pulsed;  // the connection generation last pulsed
    const platform::ReadWait wait{.interrupts = {&stopping_, &handler_->suspension()}};
    while (running_ == 1) {
        std::string failure;  // the system's text of a failed read's code
        auto result = handler_->try_read([&](Connection& c, uint64_t generation) {
            if (pulsed != generation) {
                pulse_end_of_packet(c);
                pulsed = generation;
            }
            auto chunk = c.read_chunk(wait);
            if (!chunk && chunk.error() != platform::READ_INTERRUPTED) failure = c.error_text(chunk.error());
            return chunk;
        });
        if (!result) {
            // A board a reboot left unusable will not come back: said once.
            if (auto unusable = handler_->unusable()) {
                deliver(pelio::DataStream::Error{*unusable});
                break;
            }
            // NB: polled: a reboot takes seconds, and stop is seen within one poll.
            std::this_thread::sleep_for(RECONNECT_POLL);
            continue;
        }
        if (!*result) {
            if (result->error() == platform::READ_INTERRUPTED) continue;
            deliver(pelio::DataStream::Error{
                fmt::format("Kessa datastream error: {}\n", platform::coded(result->error(), failure))});
            // A board that has left the bus (a cable pulled) fails every read
            // from now on: the stream ends with this one error.
            if (!handler_->suspension().raised() && board_gone()) break;
            std::this_thread::sleep_for(ERROR_PAUSE);
            continue;
        }
        Chunk chunk = std::move(**result);
        const std::size_t n = chunk.size();
        if (n > 0) deliver(pelio::DataStream::Events{std::move(chunk)});
        if (n < TRANSFER_BYTES) std::this_thread::yield();
    }
    deliver(pelio::DataStream::Stop{});
}

}  // namespace pelio::xdma
