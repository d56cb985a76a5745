#include "tests/kessa_device_manager/recording_backend.h"

#include <algorithm>

namespace pelio::test {

class RecordingBackend::Link final : public xdma::platform::Link {
public:
    Link(RecordingBackend& owner, std::unique_ptr<xdma::platform::Link> inner)
        : owner_(owner), inner_(std::move(inner)) {}

    std::size_t register_space_bytes() const override { return inner_->register_space_bytes(); }
    uint32_t load(std::size_t offset) const override {
        const uint32_t value = inner_->load(offset);
        owner_.record({RegisterAccess::Kind::Load, static_cast<uint32_t>(offset), value});
        LoadHook hook;
        {
            std::scoped_lock lock(owner_.mutex_);
            hook = owner_.load_hook_;
        }
        if (hook) hook(static_cast<uint32_t>(offset), value);
        return value;
    }
    void store(std::size_t offset, uint32_t value) override {
        inner_->store(offset, value);
        owner_.record({RegisterAccess::Kind::Store, static_cast<uint32_t>(offset), value});
        StoreHook hook;
        {
            std::scoped_lock lock(owner_.mutex_);
            hook = owner_.hook_;
        }
        if (hook) hook(static_cast<uint32_t>(offset), value);
    }
    std::expected<std::size_t, int> read(std::span<uint8_t> buffer, const xdma::platform::ReadWait& wait) override {
        std::optional<std::chrono::milliseconds> timeout;
        {
            std::scoped_lock lock(owner_.mutex_);
            if (owner_.failing_reads_ > 0) {
                --owner_.failing_reads_;
                return std::unexpected(owner_.failure_code_);
            }
            timeout = owner_.driver_timeout_;
        }
        // The driver's timeout bounds every read; the caller's quiet time may end it earlier.
        const bool driver_bounds = timeout && (!wait.quiet || *wait.quiet >= *timeout);
        auto bounded = wait;
        if (driver_bounds) bounded.quiet = timeout;
        const auto n = inner_->read(buffer, bounded);
        if (driver_bounds && n && *n == 0) return std::unexpected(DRIVER_TIMEOUT_CODE);
        return n;
    }
    std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) override {
        {
            std::scoped_lock lock(owner_.mutex_);
            if (owner_.failing_writes_ > 0) {
                --owner_.failing_writes_;
                return std::unexpected(owner_.write_failure_code_);
            }
        }
        return inner_->write(bytes);
    }

private:
    RecordingBackend& owner_;
    std::unique_ptr<xdma::platform::Link> inner_;
};

std::expected<std::unique_ptr<xdma::platform::Link>, std::string> RecordingBackend::open(const std::string& path) {
    auto link = inner_->open(path);
    if (!link) return std::unexpected(link.error());
    return std::make_unique<Link>(*this, std::move(*link));
}

void RecordingBackend::record(RegisterAccess access) {
    std::scoped_lock lock(mutex_);
    accesses_.push_back(access);
}

std::vector<RegisterAccess> RecordingBackend::accesses() const {
    std::scoped_lock lock(mutex_);
    return accesses_;
}

std::vector<RegisterAccess> RecordingBackend::stores() const {
    auto all = accesses();
    std::erase_if(all, [](const RegisterAccess& a) { return a.kind != RegisterAccess::Kind::Store; });
    return all;
}

void RecordingBackend::clear() {
    std::scoped_lock lock(mutex_);
    accesses_.clear();
}

void RecordingBackend::fail_reads(int count, int code) {
    std::scoped_lock lock(mutex_);
    failing_reads_ = count;
    failure_code_ = code;
}

void RecordingBackend::fail_writes(int count, int code) {
    std::scoped_lock lock(mutex_);
    failing_writes_ = count;
    write_failure_code_ = code;
}

void RecordingBackend::set_driver_timeout(std::chrono::milliseconds timeout) {
    std::scoped_lock lock(mutex_);
    driver_timeout_ = timeout;
}

void RecordingBackend::on_load(LoadHook hook) {
    std::scoped_lock lock(mutex_);
    load_hook_ = std::move(hook);
}

void RecordingBackend::on_store(StoreHook hook) {
    std::scoped_lock lock(mutex_);
    hook_ = std::move(hook);
}

}  // namespace pelio::test
