#pragma once
// What a Kessa device shares with its data stream: the board's connection,
// the backend that found it, its path and the firmware's mode.
//
// Threading: every operation may be called from any thread. Register
// accesses and DMA transfers run under a shared lock, so a reboot (which
// releases and replaces the connection under the exclusive lock) waits for
// the transfer in flight and no thread ever uses a closed connection. While
// the connection is released, register accesses throw and stream reads find
// nothing to read. Every register store, and every read-modify-write as a
// whole, runs under the device's one register lock: a masked write and the
// stream's end-of-packet pulse never lose each other's bits. Lock order: the
// connection lock before the register lock.
//
// Reads and reboots: a reboot first suspends reads (no new read starts and
// the read in flight is interrupted, keeping what the card has not sent),
// before it tells the board to reconfigure, so no read spans the board's
// departure and the exclusive lock comes within milliseconds rather than
// after the driver's timeout. The board is found again by its PCI address
// (the driver may number it anew), and the handler's path follows it.
// A board that cannot be reopened after a reboot stays
// released and is marked unusable: accesses throw, and the status reports,
// "Device unusable: <why>".
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
    FlushLimits flush_limits{};
    std::chrono::milliseconds overflow_poll{1};
    std::chrono::milliseconds overflow_timeout{500};
};

class Handler {
public:
    Handler(std::shared_ptr<platform::Backend> backend, std::string path, Connection connection, Timing timing = {},
            ModuleReference module = {})
        : backend_(std::move(backend)),
          path_(std::move(path)),
          timing_(timing),
          module_(std::move(module)),
          connection_(std::move(connection)) {}
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    /// The board's path now: a reboot may find it again under another one.
    [[nodiscard]] std::string path() const {
        std::scoped_lock lock(path_mutex_);
        return path_;
    }
    void set_path(std::string path) {
        std::scoped_lock lock(path_mutex_);
        path_ = std::move(path);
    }
    [[nodiscard]] platform::Backend& backend() const noexcept { return *backend_; }
    [[nodiscard]] const Timing& timing() const noexcept { return timing_; }
    /// The plug-in module, kept loaded by buffers and streams of this device.
    [[nodiscard]] const ModuleReference& module() const noexcept { return module_; }

    /// Runs `f(Connection&)` under the shared lock. Throws std::runtime_error
    /// while the connection is released.
    template <class F>
    decltype(auto) with_connection(F&& f) {
        std::shared_lock lock(mutex_);
        if (!connection_) throw std::runtime_error(unusable_ ? *unusable_ : "Device connection is closed");
        return std::forward<F>(f)(*connection_);
    }

    /// For card-to-host reads: runs `f(Connection&, generation)` under the
    /// shared lock, empty while the connection is released or reads are
    /// suspended. The generation counts installed connections, so a stream
    /// sees when it reads from a new one.
    template <class F>
    auto try_read(F&& f) -> std::optional<std::invoke_result_t<F, Connection&, uint64_t>> {
        std::shared_lock lock(mutex_);
        if (!connection_ || suspended_) return std::nullopt;
        return std::forward<F>(f)(*connection_, generation_);
    }
    /// Raised while reads are suspended: every card-to-host read watches it.
    [[nodiscard]] const platform::ReadInterrupt& suspension() const noexcept { return suspension_; }
    [[nodiscard]] bool reads_suspended() const noexcept { return suspended_; }
    /// No new read starts; returns once the read in flight has ended (it is
    /// interrupted). Not to be called holding the connection.
    void suspend_reads() {
        suspended_ = true;
        suspension_.raise();
        end_read_in_flight(suspension_, false);
        // A reader that saw reads running just before has its read refused
        // or interrupted; the exclusive lock waits for it to leave.
        std::unique_lock lock(mutex_);
    }
    void resume_reads() {
        suspension_.lower();
        suspended_ = false;
    }

    /// Where raising `interrupt` does not end a read waiting in the driver
    /// (platform::INTERRUPT_ENDS_DRIVER_READ false: Windows), has the board
    /// end the read in flight that watches it: with `producers_off`, the
    /// Neuropixels image's data producers are switched off first (ports'
    /// bits 0..3 of 0x1404, the IO producer's bit 0 of 0x2400), so nothing
    /// new arrives; then the end-of-packet pulse closes the packet in
    /// flight and the driver completes the transfer. CancelSynchronousIo is
    /// tried as well. A read that starts just after a pulse misses it: the
    /// pulse is repeated a few times while a read is still in flight.
    /// Returns once no such read is in flight, or after the last attempt.
    /// NB: the bound that remains is the driver's ring timeout (3 s or
    /// 10 s in the public builds): a board whose framing does not end the
    /// transfer leaves the read to it, and the read then ends with success
    /// and 0 bytes. Nothing where the interrupt ends the read itself.
    /// Not to be called from a thread inside a read that watches `interrupt`.
    void end_read_in_flight(platform::ReadInterrupt& interrupt, bool producers_off);

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
        with_connection([&](Connection& c) {
            std::scoped_lock registers(register_mutex_);
            c.write_register(address, value);
        });
    }
    /// Stores `(old & ~mask) | (value & mask)`, atomically with respect to
    /// every other store of this device.
    void modify_register(uint32_t address, uint32_t value, uint32_t mask) {
        with_connection([&](Connection& c) {
            std::scoped_lock registers(register_mutex_);
            c.write_register(address, (c.read_register(address) & ~mask) | (value & mask));
        });
    }
    /// Runs `f(Connection&)` holding the register lock, so that no other
    /// store of this device comes between its accesses. Empty while the
    /// connection is released.
    template <class F>
    auto try_with_registers_locked(F&& f) -> std::optional<std::invoke_result_t<F, Connection&>> {
        return try_with_connection([&](Connection& c) {
            std::scoped_lock registers(register_mutex_);
            return std::forward<F>(f)(c);
        });
    }
    /// Runs `f()` holding the register lock; for a caller already holding
    /// the connection (see `try_read`).
    template <class F>
    decltype(auto) with_register_lock(F&& f) {
        std::scoped_lock registers(register_mutex_);
        return std::forward<F>(f)();
    }

    /// Closes the board's files; waits for accesses in flight.
    void release_connection() {
        std::unique_lock lock(mutex_);
        connection_.reset();
    }
    void install_connection(Connection connection) {
        std::unique_lock lock(mutex_);
        connection_.emplace(std::move(connection));
        ++generation_;
        unusable_.reset();
    }
    /// Leaves the connection released for good: "Device unusable: <reason>".
    void mark_unusable(const std::string& reason) {
        std::unique_lock lock(mutex_);
        connection_.reset();
        unusable_ = "Device unusable: " + reason;
    }
    /// Why the board cannot be used, once a reboot left it so.
    [[nodiscard]] std::optional<std::string> unusable() const {
        std::shared_lock lock(mutex_);
        return unusable_;
    }
    [[nodiscard]] bool connected() const {
        std::shared_lock lock(mutex_);
        return connection_.has_value();
    }

    /// The firmware runs the Neuropixels image: raw register addresses, no
    /// triggers or pipes.
    std::atomic<bool> np_mode{false};

private:
    std::shared_ptr<platform::Backend> backend_;
    mutable std::mutex path_mutex_;
    std::string path_;
    Timing timing_;
    ModuleReference module_;
    // NB: a shared lock per access costs one uncontended atomic, against a
    // PCIe round trip per register; it buys a reboot that cannot pull the
    // mapping from under another thread.
    mutable std::shared_mutex mutex_;
    std::optional<Connection> connection_;
    uint64_t generation_ = 0;
    std::optional<std::string> unusable_;
    std::mutex register_mutex_;
    std::atomic<bool> suspended_{false};
    platform::ReadInterrupt suspension_;
};

}  // namespace pelio::xdma
