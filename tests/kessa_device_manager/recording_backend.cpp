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
    std::expected<std::size_t, int> read(std::span<uint8_t> buffer) override {
        {
            std::scoped_lock lock(owner_.mutex_);
            if (owner_.failing_reads_ > 0) {
                --owner_.failing_reads_;
                return std::unexpected(owner_.failure_code_);
            }
        }
        return inner_->read(buffer);
    }
    std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) override { return inner_->write(bytes); }

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

void RecordingBackend::on_store(StoreHook hook) {
    std::scoped_lock lock(mutex_);
    hook_ = std::move(hook);
}

}  // namespace pelio::test
