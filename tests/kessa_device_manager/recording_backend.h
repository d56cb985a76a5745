#pragma once
// Wraps a real backend and records every register access of the links it
// opens, in order; an optional hook plays the hardware's answer to a store.
#include <cstdint>
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

    explicit RecordingBackend(std::shared_ptr<xdma::platform::Backend> inner) : inner_(std::move(inner)) {}

    std::vector<std::string> list_devices() override { return inner_->list_devices(); }
    std::expected<std::unique_ptr<xdma::platform::Link>, std::string> open(const std::string& path) override;

    [[nodiscard]] std::vector<RegisterAccess> accesses() const;
    [[nodiscard]] std::vector<RegisterAccess> stores() const;
    void clear();
    void on_store(StoreHook hook);
    /// The next `count` card-to-host reads fail with `code`.
    void fail_reads(int count, int code);

private:
    class Link;
    void record(RegisterAccess access);

    std::shared_ptr<xdma::platform::Backend> inner_;
    mutable std::mutex mutex_;
    std::vector<RegisterAccess> accesses_;
    StoreHook hook_;
    int failing_reads_ = 0;
    int failure_code_ = 0;
};

}  // namespace pelio::test
