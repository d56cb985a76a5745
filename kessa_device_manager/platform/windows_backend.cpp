// Windows backend: the XDMA driver's device interface, over the Win32 calls
// of win32.h (built on every platform, so its logic is tested with fakes).
//
// Devices are found through SetupAPI by the driver's interface class; each
// one exposes the files "\user" (the user BAR, mapped by an ioctl), "\c2h_0"
// and "\h2c_0" (the DMA channels) below its interface path.
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "kessa_device_manager/platform/win32.h"

namespace pelio::xdma::platform::win32 {
namespace {

std::string to_utf8(Api& api, std::u16string_view wide) {
    if (wide.empty()) return {};
    auto utf8 = api.to_utf8(wide);
    if (!utf8) {
        const auto code = api.last_error();
        throw std::runtime_error(fmt::format("WideCharToMultiByte() failed: {}", coded(code, api.error_text(code))));
    }
    return std::move(*utf8);
}

std::u16string to_wide(Api& api, std::string_view utf8) {
    if (utf8.empty()) return {};
    auto wide = api.to_wide(utf8);
    if (!wide) {
        const auto code = api.last_error();
        throw std::runtime_error(fmt::format("MultiByteToWideChar() failed: {}", coded(code, api.error_text(code))));
    }
    return std::move(*wide);
}

/// One opened handle, closed with the object.
class File {
public:
    File(std::shared_ptr<Api> api, Handle handle) noexcept : api_(std::move(api)), handle_(handle) {}
    File(File&& other) noexcept : api_(other.api_), handle_(std::exchange(other.handle_, INVALID_HANDLE)) {}
    File& operator=(File&&) = delete;
    ~File() {
        if (valid()) api_->close_handle(handle_);
    }
    [[nodiscard]] Handle get() const noexcept { return handle_; }
    [[nodiscard]] bool valid() const noexcept { return handle_ != INVALID_HANDLE; }

private:
    std::shared_ptr<Api> api_;
    Handle handle_;
};

class DeviceInfoList {
public:
    DeviceInfoList(Api& api, Handle list) noexcept : api_(api), list_(list) {}
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;
    ~DeviceInfoList() { api_.destroy_device_info_list(list_); }
    [[nodiscard]] Handle get() const noexcept { return list_; }

private:
    Api& api_;
    Handle list_;
};

class HeapRecord {
public:
    HeapRecord(Api& api, std::size_t bytes) : api_(api), memory_(api.heap_alloc(bytes)) {
        if (memory_ == nullptr) throw std::runtime_error("HeapAlloc failed");
    }
    HeapRecord(const HeapRecord&) = delete;
    HeapRecord& operator=(const HeapRecord&) = delete;
    ~HeapRecord() { api_.heap_free(memory_); }
    [[nodiscard]] void* get() const noexcept { return memory_; }

private:
    Api& api_;
    void* memory_;
};

class WindowsLink final : public Link {
public:
    WindowsLink(std::shared_ptr<Api> api, File user, File c2h, File h2c, volatile uint32_t* bar, std::size_t length)
        : api_(std::move(api)),
          user_(std::move(user)),
          c2h_(std::move(c2h)),
          h2c_(std::move(h2c)),
          bar_(bar),
          length_(length) {}

    std::size_t register_space_bytes() const override { return length_; }
    uint32_t load(std::size_t offset) const override { return bar_[offset / 4]; }
    void store(std::size_t offset, uint32_t value) override { bar_[offset / 4] = value; }

    // NB: the public driver's ReadFile on the c2h file waits without an
    // alertable wait and its request is not cancelable: an interrupt is
    // seen before the read starts, and a read in flight ends at data, at
    // the board's end of packet (what stop has the board send) or at the
    // driver's ring timeout (3 s or 10 s), with success and 0 bytes.
    std::expected<std::size_t, int> read(std::span<uint8_t> buffer, const ReadWait& wait) override {
        uint32_t n = 0;
        bool ok = false;
        Error error = 0;
        {
            WatchedRead watched(wait);
            if (watched.interrupted()) return std::unexpected(READ_INTERRUPTED);
            ok = api_->read_file(c2h_.get(), buffer, n);
            if (!ok) error = api_->last_error();
        }
        if (ok) return static_cast<std::size_t>(n);
        // A read a cancel ended (ERROR_OPERATION_ABORTED, builds that honour
        // it) while an interrupt is raised is no error.
        for (const auto* interrupt : wait.interrupts) {
            if (interrupt != nullptr && interrupt->raised()) return std::unexpected(READ_INTERRUPTED);
        }
        return std::unexpected(static_cast<int>(error));
    }

    std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) override {
        uint32_t n = 0;
        if (!api_->write_file(h2c_.get(), bytes, n)) return std::unexpected(static_cast<int>(api_->last_error()));
        return static_cast<std::size_t>(n);
    }

    std::string error_text(int code) const override { return api_->error_text(static_cast<Error>(code)); }

private:
    std::shared_ptr<Api> api_;
    // NB: the driver keeps the BAR mapped while the user file stays open; the
    // members close in reverse order, the user file last.
    File user_;
    File c2h_;
    File h2c_;
    volatile uint32_t* bar_;
    std::size_t length_;
};

class WindowsBackend final : public Backend {
public:
    explicit WindowsBackend(std::shared_ptr<Api> api) : api_(std::move(api)) {}

    std::vector<std::string> list_devices() override {
        const Handle raw = api_->get_class_devs();
        if (raw == INVALID_HANDLE) throw std::runtime_error("GetDevices INVALID_HANDLE_VALUE");
        DeviceInfoList list(*api_, raw);

        std::vector<std::string> paths;
        for (uint32_t index = 0; api_->enum_device_interface(list.get(), index); ++index) {
            uint32_t size = 0;
            if (!api_->interface_detail_size(list.get(), size) &&
                api_->last_error() != ERROR_INSUFFICIENT_BUFFER_CODE) {
                throw std::runtime_error("SetupDiGetDeviceInterfaceDetail - get length failed");
            }
            HeapRecord record(*api_, size);
            if (!api_->interface_detail(list.get(), record.get(), size)) {
                throw std::runtime_error("SetupDiGetDeviceInterfaceDetail - get detail failed");
            }
            std::u16string path = api_->detail_path(record.get());
            // NB: a longer path is cut rather than skipped, so the devices
            // after it keep their index (the "id" of a configuration).
            if (path.size() > MAX_PATH_CHARACTERS) path.resize(MAX_PATH_CHARACTERS);
            paths.push_back(to_utf8(*api_, path));
        }
        return paths;
    }

    // NB: the interface path names the PCI device instance (its location
    // on the bus), which a reboot keeps: the path is the identity.
    std::optional<std::string> board_address(const std::string&) override { return std::nullopt; }

    std::expected<std::unique_ptr<Link>, std::string> open(const std::string& path) override {
        File user = open_file(path + "\\user");
        if (!user.valid()) return std::unexpected(failure(OpenStep::User));
        File c2h = open_file(path + "\\c2h_0");
        if (!c2h.valid()) return std::unexpected(failure(OpenStep::C2H));
        File h2c = open_file(path + "\\h2c_0");
        if (!h2c.valid()) return std::unexpected(failure(OpenStep::H2C));

        // The driver's reply: {pointer, 32-bit length}, 12 bytes packed or
        // 16 with the structure's padding (left as the driver found it).
        // NB: the buffer has room for 16; any other count is refused.
        std::array<std::byte, 16> reply{};
        uint32_t returned = 0;
        if (!api_->device_io_control(user.get(), MAP_BAR_IOCTL, reply, returned)) {
            const Error code = api_->last_error();
            return std::unexpected(map_failure(
                fmt::format("map bar ioctl failed! win32 error code: {}", coded(code, api_->error_text(code)))));
        }
        if (returned != 12 && returned != 16) {
            return std::unexpected(map_failure(fmt::format("map bar ioctl failed! wrong size {}", returned)));
        }
        uint64_t base = 0;
        uint32_t length = 0;
        std::memcpy(&base, reply.data(), sizeof base);
        std::memcpy(&length, reply.data() + sizeof base, sizeof length);
        if (base == 0) return std::unexpected(map_failure("map bar ioctl failed! null base"));
        if (length == 0) return std::unexpected(map_failure("map bar ioctl failed! zero length"));
        return std::make_unique<WindowsLink>(api_, std::move(user), std::move(c2h), std::move(h2c),
                                             reinterpret_cast<volatile uint32_t*>(static_cast<uintptr_t>(base)),
                                             static_cast<std::size_t>(length));
    }

private:
    // The open step's message with the code GetLastError gives now.
    std::string failure(OpenStep step) {
        const Error code = api_->last_error();
        return open_failure(step, static_cast<int>(code), api_->error_text(code));
    }

    File open_file(const std::string& path) {
        return File(api_, api_->create_file(to_wide(*api_, path), GENERIC_READ_WRITE, SHARE_NONE, OPEN_EXISTING_FILE,
                                            ATTRIBUTE_NORMAL));
    }

    std::shared_ptr<Api> api_;
};

}  // namespace

std::shared_ptr<Backend> windows_backend(std::shared_ptr<Api> api) {
    return std::make_shared<WindowsBackend>(std::move(api));
}

}  // namespace pelio::xdma::platform::win32
