#pragma once
// Wraps a real backend and records every register access of the links it
// opens, in order; optional hooks play the hardware's answer to a load or a
// store. It also plays the driver's manners the nodes cannot: a read that
// brings nothing for the driver's timeout, or that a signal ends, fails with
// ETIMEDOUT; the level register 0x1498 counts the bytes waiting in the
// card-to-host node, with its top bit set (a pipe's always, a plain file's,
// what this link's reads have not taken, on request); transfers fail on
// request. On Windows the board's end-of-packet pulse (bit 7 of 0x1404 set
// again after it was cleared) ends the read waiting on a blocking
// stand-in channel (see stand_in_board.h).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <expected>
#include <cstdint>
#include <optional>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kessa_device_manager/platform/platform.h"
#include "tests/kessa_device_manager/driver_manners.h"
#include "tests/kessa_device_manager/stand_in_board.h"

namespace pelio::test {

struct RegisterAccess {
    enum class Kind { Load, Store };
    Kind kind;
    uint32_t address;
    uint32_t value;

    friend bool operator==(const RegisterAccess&, const RegisterAccess&) = default;
};

inline RegisterAccess store(uint32_t address, uint32_t value) {
    return {RegisterAccess::Kind::Store, address, value};
}

/// One card-to-host read through a recorded link.
struct ReadRecord {
    /// The level register's value when this link last loaded it before the
    /// read (empty: not loaded since the previous read).
    std::optional<uint32_t> level_seen;
    std::expected<std::size_t, int> result;
};

class RecordingBackend : public xdma::platform::Backend {
public:
    /// Called after each store with its address and value, on the storing thread.
    using StoreHook = std::function<void(uint32_t address, uint32_t value)>;
    /// Called after each load with its address and value, on the loading
    /// thread: a test holds a thread there to force an interleaving.
    using LoadHook = std::function<void(uint32_t address, uint32_t value)>;

    explicit RecordingBackend(std::shared_ptr<xdma::platform::Backend> inner) : inner_(std::move(inner)) {}

    std::vector<std::string> list_devices() override { return inner_->list_devices(); }
    std::optional<std::string> board_address(const std::string& path) override { return inner_->board_address(path); }
    std::expected<std::unique_ptr<xdma::platform::Link>, std::string> open(const std::string& path) override;

    [[nodiscard]] std::vector<RegisterAccess> accesses() const;
    [[nodiscard]] std::vector<RegisterAccess> stores() const;
    void clear();
    /// Over a plain-file node, the level register counts the bytes the
    /// reads have not taken (with its top bit set) instead of the word the
    /// test poked.
    void play_file_level(bool on);
    /// The card-to-host reads that have ended, in order.
    [[nodiscard]] std::vector<ReadRecord> reads() const;
    /// Waits (generous deadline) until `n` reads have begun; false if not.
    [[nodiscard]] bool wait_for_reads_begun(std::size_t n);
    [[nodiscard]] std::size_t reads_begun() const;
    /// Waits (generous deadline) until a read has begun and not ended, and
    /// on Linux until its thread sleeps in the read system call; false if it
    /// never does.
    [[nodiscard]] bool wait_for_read_in_flight();
    /// Reads begun and not yet ended.
    [[nodiscard]] std::size_t reads_in_flight() const;
    void on_store(StoreHook hook);
    void on_load(LoadHook hook);
    /// The next `count` card-to-host reads fail with `code`.
    void fail_reads(int count, int code);
    /// The next `count` host-to-card writes fail with `code`.
    void fail_writes(int count, int code);
    /// A read that brings nothing for this long fails with DRIVER_TIMEOUT_CODE
    /// (unset: the node's own behaviour).
    void set_driver_timeout(std::chrono::milliseconds timeout);
    /// errno ETIMEDOUT, as the driver's read reports its timeout here.
    static constexpr int DRIVER_TIMEOUT_CODE = 110;
    /// The level register of the board's card-to-host buffer.
    static constexpr uint32_t LEVEL_REGISTER = 0x1498;

private:
    class Link;
    void record(RegisterAccess access);

    std::shared_ptr<xdma::platform::Backend> inner_;
    mutable std::mutex mutex_;
    std::vector<RegisterAccess> accesses_;
    std::vector<ReadRecord> reads_;
    std::size_t reads_begun_ = 0;
    std::size_t reads_ended_ = 0;
    long reader_thread_ = 0;
    std::atomic<bool> file_level_{false};  // the kernel's id of the thread of the last read begun
    std::condition_variable read_begun_;
    StoreHook hook_;
    LoadHook load_hook_;
    int failing_reads_ = 0;
    int failure_code_ = 0;
    int failing_writes_ = 0;
    int write_failure_code_ = 0;
    std::optional<std::chrono::milliseconds> driver_timeout_;
#ifndef _WIN32
    DriverClock clock_;
#endif
};

}  // namespace pelio::test
