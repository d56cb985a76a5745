#include "tests/kessa_device_manager/recording_backend.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#endif

namespace pelio::test {

class RecordingBackend::Link final : public xdma::platform::Link {
public:
    Link(RecordingBackend& owner, std::unique_ptr<xdma::platform::Link> inner, const std::string& path)
        : owner_(owner), inner_(std::move(inner)), path_(path) {
#ifndef _WIN32
        // A second, non-blocking reader of a pipe node only counts what waits.
        const std::string c2h = path + "_c2h_0";
        struct stat st{};
        if (::stat(c2h.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
            level_fd_ = ::open(c2h.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
#endif
        // A plain file: the card holds what the reads of this link have not taken.
        std::error_code error;
        if (std::filesystem::is_regular_file(path + "_c2h_0", error)) c2h_file_ = path + "_c2h_0";
    }
    ~Link() override {
#ifndef _WIN32
        if (level_fd_ >= 0) ::close(level_fd_);
#endif
    }

    std::size_t register_space_bytes() const override { return inner_->register_space_bytes(); }
    uint32_t load(std::size_t offset) const override {
        uint32_t value = inner_->load(offset);
#ifndef _WIN32
        if (offset == LEVEL_REGISTER && level_fd_ >= 0) {
            int waiting = 0;
            if (::ioctl(level_fd_, FIONREAD, &waiting) != 0) waiting = 0;
            value = 0x80000000u | std::max(static_cast<uint32_t>(waiting), value & 0x7FFFFFFFu);
        }
#endif
        if (offset == LEVEL_REGISTER && !c2h_file_.empty() && owner_.file_level_) {
            std::error_code error;
            const auto size = std::filesystem::file_size(c2h_file_, error);
            std::scoped_lock lock(owner_.mutex_);
            const auto waiting = error || size < taken_ ? 0 : size - taken_;
            value = 0x80000000u | static_cast<uint32_t>(std::min<uintmax_t>(waiting, 0x7FFFFFFF));
        }
        if (offset == LEVEL_REGISTER) {
            std::scoped_lock lock(owner_.mutex_);
            level_seen_ = value;
        }
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
#ifdef _WIN32
        // The board's end-of-packet enable set again after it was cleared
        // closes the packet in flight.
        if (offset == END_OF_PACKET_REGISTER) {
            const bool on = (value & END_OF_PACKET_ENABLE) != 0;
            bool rising = false;
            {
                std::scoped_lock lock(owner_.mutex_);
                rising = on && !end_of_packet_on_;
                end_of_packet_on_ = on;
            }
            if (rising) end_packet(path_);
        }
#endif
        StoreHook hook;
        {
            std::scoped_lock lock(owner_.mutex_);
            hook = owner_.hook_;
        }
        if (hook) hook(static_cast<uint32_t>(offset), value);
    }
    std::expected<std::size_t, int> read(std::span<uint8_t> buffer, const xdma::platform::ReadWait& wait) override {
        std::optional<std::chrono::milliseconds> timeout;
        std::optional<uint32_t> level;
        {
            std::scoped_lock lock(owner_.mutex_);
            level = std::exchange(level_seen_, std::nullopt);
            ++owner_.reads_begun_;
#ifndef _WIN32
            owner_.reader_thread_ = this_thread_id();
#endif
            owner_.read_begun_.notify_all();
            if (owner_.failing_reads_ > 0) {
                --owner_.failing_reads_;
                owner_.reads_.push_back({level, std::unexpected(owner_.failure_code_)});
                ++owner_.reads_ended_;
                return std::unexpected(owner_.failure_code_);
            }
            timeout = owner_.driver_timeout_;
        }
#ifndef _WIN32
        // The driver's timeout bounds every read; its end, and any signal
        // to the reader, abort the transfer with ETIMEDOUT.
        const uint64_t ticket = timeout ? owner_.clock_.arm(*timeout) : 0;  // tickets start at 1
        auto n = inner_->read(buffer, wait);
        if (ticket != 0) owner_.clock_.disarm(ticket);
        if (!n && n.error() == EINTR) n = std::unexpected(DRIVER_TIMEOUT_CODE);
#else
        auto n = inner_->read(buffer, wait);
#endif
        std::scoped_lock lock(owner_.mutex_);
        if (n) taken_ += *n;
        owner_.reads_.push_back({level, n});
        ++owner_.reads_ended_;
        return n;
    }
    std::string error_text(int code) const override { return inner_->error_text(code); }

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
    static constexpr uint32_t END_OF_PACKET_REGISTER = 0x1404;
    static constexpr uint32_t END_OF_PACKET_ENABLE = 0x80;

    RecordingBackend& owner_;
    std::unique_ptr<xdma::platform::Link> inner_;
    std::string path_;
    bool end_of_packet_on_ = true;  // guarded by the owner's mutex
    int level_fd_ = -1;
    mutable std::optional<uint32_t> level_seen_;  // guarded by the owner's mutex
    std::string c2h_file_;
    uintmax_t taken_ = 0;  // guarded by the owner's mutex
};

std::expected<std::unique_ptr<xdma::platform::Link>, std::string> RecordingBackend::open(const std::string& path) {
    auto link = inner_->open(path);
    if (!link) return std::unexpected(link.error());
    return std::make_unique<Link>(*this, std::move(*link), path);
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
    reads_.clear();
}

std::vector<ReadRecord> RecordingBackend::reads() const {
    std::scoped_lock lock(mutex_);
    return reads_;
}

std::size_t RecordingBackend::reads_begun() const {
    std::scoped_lock lock(mutex_);
    return reads_begun_;
}

bool RecordingBackend::wait_for_reads_begun(std::size_t n) {
    std::unique_lock lock(mutex_);
    return read_begun_.wait_for(lock, std::chrono::seconds(10), [&] { return reads_begun_ >= n; });
}

std::size_t RecordingBackend::reads_in_flight() const {
    std::scoped_lock lock(mutex_);
    return reads_begun_ - reads_ended_;
}

bool RecordingBackend::wait_for_read_in_flight() {
    long thread = 0;
    {
        std::unique_lock lock(mutex_);
        if (!read_begun_.wait_for(lock, std::chrono::seconds(10), [&] { return reads_begun_ > reads_ended_; })) {
            return false;
        }
        thread = reader_thread_;
    }
#ifndef _WIN32
    return wait_until_asleep_in(thread, SYS_read);
#else
    (void)thread;
    return true;
#endif
}

void RecordingBackend::play_file_level(bool on) { file_level_ = on; }

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
