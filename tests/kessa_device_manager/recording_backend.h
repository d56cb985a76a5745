#pragma once
// Wraps a real backend and records every register access of the links it
// opens, in order; optional hooks play the hardware's answer to a load or a
// store. It also plays the driver's manners the nodes cannot: a read that
// brings nothing for the driver's timeout fails with ETIMEDOUT, and
// transfers fail on request.
#include <chrono>
#include <cstdint>
#include <optional>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kessa_device_manager/platform/platform.h"

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

class RecordingBackend : public xdma::platform::Backend {
public:
    /// Called after each store with its address and value, on the storing thread.
    using StoreHook = std::function<void(uint32_t address, uint32_t value)>;
    /// Called after each load with its address and value, on the loading
    /// thread: a test holds a thread there to force an interleaving.
    using LoadHook = std::function<void(uint32_t address, uint32_t value)>;

    explicit RecordingBackend(std::shared_ptr<xdma::platform::Backend> inner) : inner_(std::move(inner)) {}

    std::vector<std::string> list_devices() override { return inner_->list_devices(); }
    std::expected<std::unique_ptr<xdma::platform::Link>, std::string> open(const std::string& path) override;

    [[nodiscard]] std::vector<RegisterAccess> accesses() const;
    [[nodiscard]] std::vector<RegisterAccess> stores() const;
    void clear();
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

private:
    class Link;
    void record(RegisterAccess access);

    std::shared_ptr<xdma::platform::Backend> inner_;
    mutable std::mutex mutex_;
    std::vector<RegisterAccess> accesses_;
    StoreHook hook_;
    LoadHook load_hook_;
    int failing_reads_ = 0;
    int failure_code_ = 0;
    int failing_writes_ = 0;
    int write_failure_code_ = 0;
    std::optional<std::chrono::milliseconds> driver_timeout_;
};

}  // namespace pelio::test
