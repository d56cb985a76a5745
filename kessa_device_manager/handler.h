#pragma once
// What a Kessa device shares with its data stream: the board's connection,
// the backend that found it, its path and the firmware's mode.
//
// Threading: every operation may be called from any thread. Register
// accesses and DMA transfers run under a shared lock, so a reboot (which
// releases and replaces the connection under the exclusive lock) waits for
// the transfer in flight and no thread ever uses a closed connection. While
// the connection is released, register accesses throw and stream reads find
// nothing to read.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "kessa_device_manager/connection.h"
#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma {

/// Waits of initialisation and reboot. Tests shorten them; the defaults are
/// what the hardware needs.
struct Timing {
    // Reboot.
    std::chrono::milliseconds icap_poll{100};
    std::chrono::milliseconds icap_timeout{10'000};
    std::chrono::milliseconds close_poll{10};
    std::chrono::milliseconds close_timeout{10'000};
    std::chrono::milliseconds open_poll{100};
    std::chrono::milliseconds open_timeout{60'000};
    std::chrono::milliseconds reopen_settle{500};
    // Initialisation.
    std::chrono::milliseconds pipeline_poll{1};
    std::chrono::milliseconds pipeline_stop_timeout{1'000};
    std::chrono::milliseconds flush_settle{10};
    std::chrono::milliseconds overflow_poll{1};
    std::chrono::milliseconds overflow_timeout{500};
};

class Handler {
public:
    Handler(std::shared_ptr<platform::Backend> backend, std::string path, Connection connection, Timing timing = {})
        : backend_(std::move(backend)), path_(std::move(path)), timing_(timing), connection_(std::move(connection)) {}
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] platform::Backend& backend() const noexcept { return *backend_; }
    [[nodiscard]] const Timing& timing() const noexcept { return timing_; }

    /// Runs `f(Connection&)` under the shared lock. Throws std::runtime_error
    /// while the connection is released.
    template <class F>
    decltype(auto) with_connection(F&& f) {
        std::shared_lock lock(mutex_);
        if (!connection_) throw std::runtime_error("Device connection is closed");
        return std::forward<F>(f)(*connection_);
    }

    /// As `with_connection`, but empty while the connection is released.
    template <class F>
    auto try_with_connection(F&& f) -> std::optional<std::invoke_result_t<F, Connection&>> {
        std::shared_lock lock(mutex_);
        if (!connection_) return std::nullopt;
        return std::forward<F>(f)(*connection_);
    }

    [[nodiscard]] uint32_t read_register(uint32_t address) {
        return with_connection([&](Connection& c) { return c.read_register(address); });
    }
    void write_register(uint32_t address, uint32_t value) {
        with_connection([&](Connection& c) { c.write_register(address, value); });
    }

    /// Closes the board's files; waits for accesses in flight.
    void release_connection() {
        std::unique_lock lock(mutex_);
        connection_.reset();
    }
    void install_connection(Connection connection) {
        std::unique_lock lock(mutex_);
        connection_.emplace(std::move(connection));
    }

    /// The firmware runs the Neuropixels image: raw register addresses, no
    /// triggers or pipes.
    std::atomic<bool> np_mode{false};

private:
    std::shared_ptr<platform::Backend> backend_;
    std::string path_;
    Timing timing_;
    // NB: a shared lock per access costs one uncontended atomic, against a
    // PCIe round trip per register; it buys a reboot that cannot pull the
    // mapping from under another thread.
    mutable std::shared_mutex mutex_;
    std::optional<Connection> connection_;
};

}  // namespace pelio::xdma
