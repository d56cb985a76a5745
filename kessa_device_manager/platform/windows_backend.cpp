// Windows backend: the XDMA driver's device interface.
//
// Devices are found through SetupAPI by the driver's interface class; each
// one exposes the files "\user" (the user BAR, mapped by an ioctl), "\c2h_0"
// and "\h2c_0" (the DMA channels) below its interface path.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <initguid.h>
#include <setupapi.h>
// clang-format on

#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform {
namespace {

// {74c7e4a9-6d5d-4a70-bc0d-20691dff9e9d}
DEFINE_GUID(XDMA_INTERFACE_GUID, 0x74c7e4a9, 0x6d5d, 0x4a70, 0xbc, 0x0d, 0x20, 0x69, 0x1d, 0xff, 0x9e, 0x9d);

constexpr DWORD MAP_BAR_IOCTL = 0x22001C;  // device type 0x22, function 7, buffered, any access
constexpr std::size_t MAX_PATH_CHARACTERS = 260;

std::string to_utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0) throw std::runtime_error(fmt::format("WideCharToMultiByte() failed: {}", ::GetLastError()));
    std::string utf8(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr,
                          nullptr);
    return utf8;
}

std::wstring to_wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error(fmt::format("MultiByteToWideChar() failed: {}", ::GetLastError()));
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) noexcept : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    Handle& operator=(Handle&&) = delete;
    ~Handle() {
        if (valid()) ::CloseHandle(handle_);
    }
    [[nodiscard]] HANDLE get() const noexcept { return handle_; }
    [[nodiscard]] bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class DeviceInfoList {
public:
    explicit DeviceInfoList(HDEVINFO list) noexcept : list_(list) {}
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;
    ~DeviceInfoList() { ::SetupDiDestroyDeviceInfoList(list_); }
    [[nodiscard]] HDEVINFO get() const noexcept { return list_; }

private:
    HDEVINFO list_;
};

class HeapRecord {
public:
    explicit HeapRecord(std::size_t bytes) : memory_(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes)) {
        if (memory_ == nullptr) throw std::runtime_error("HeapAlloc failed");
    }
    HeapRecord(const HeapRecord&) = delete;
    HeapRecord& operator=(const HeapRecord&) = delete;
    ~HeapRecord() { ::HeapFree(::GetProcessHeap(), 0, memory_); }
    template <class T>
    [[nodiscard]] T* as() const noexcept {
        return static_cast<T*>(memory_);
    }

private:
    void* memory_;
};

Handle open_file(const std::string& path) {
    return Handle(::CreateFileW(to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

class WindowsLink final : public Link {
public:
    WindowsLink(Handle user, Handle c2h, Handle h2c, volatile uint32_t* bar, std::size_t length)
        : user_(std::move(user)), c2h_(std::move(c2h)), h2c_(std::move(h2c)), bar_(bar), length_(length) {}

    std::size_t register_space_bytes() const override { return length_; }
    uint32_t load(std::size_t offset) const override { return bar_[offset / 4]; }
    void store(std::size_t offset, uint32_t value) override { bar_[offset / 4] = value; }

    std::expected<std::size_t, int> read(std::span<uint8_t> buffer) override {
        DWORD n = 0;
        if (!::ReadFile(c2h_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
            return std::unexpected(static_cast<int>(::GetLastError()));
        }
        return static_cast<std::size_t>(n);
    }

    std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) override {
        DWORD n = 0;
        if (!::WriteFile(h2c_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr)) {
            return std::unexpected(static_cast<int>(::GetLastError()));
        }
        return static_cast<std::size_t>(n);
    }

private:
    // NB: the driver keeps the BAR mapped while the user file stays open.
    Handle user_;
    Handle c2h_;
    Handle h2c_;
    volatile uint32_t* bar_;
    std::size_t length_;
};

class WindowsBackend final : public Backend {
public:
    std::vector<std::string> list_devices() override {
        HDEVINFO raw = ::SetupDiGetClassDevsA(&XDMA_INTERFACE_GUID, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (raw == INVALID_HANDLE_VALUE) throw std::runtime_error("GetDevices INVALID_HANDLE_VALUE");
        DeviceInfoList list(raw);

        std::vector<std::string> paths;
        SP_DEVICE_INTERFACE_DATA interface{};
        interface.cbSize = sizeof(interface);
        for (DWORD index = 0;
             ::SetupDiEnumDeviceInterfaces(list.get(), nullptr, &XDMA_INTERFACE_GUID, index, &interface); ++index) {
            DWORD size = 0;
            if (!::SetupDiGetDeviceInterfaceDetailW(list.get(), &interface, nullptr, 0, &size, nullptr) &&
                ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                throw std::runtime_error("SetupDiGetDeviceInterfaceDetail - get length failed");
            }
            HeapRecord record(size);
            auto* detail = record.as<SP_DEVICE_INTERFACE_DETAIL_DATA_W>();
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!::SetupDiGetDeviceInterfaceDetailW(list.get(), &interface, detail, size, nullptr, nullptr)) {
                throw std::runtime_error("SetupDiGetDeviceInterfaceDetail - get detail failed");
            }
            std::wstring path(detail->DevicePath);
            if (path.size() > MAX_PATH_CHARACTERS) path.resize(MAX_PATH_CHARACTERS);
            paths.push_back(to_utf8(path));
        }
        return paths;
    }

    std::expected<std::unique_ptr<Link>, std::string> open(const std::string& path) override {
        Handle user = open_file(path + "\\user");
        if (!user.valid()) return std::unexpected(open_failure(OpenStep::User, static_cast<int>(::GetLastError())));
        Handle c2h = open_file(path + "\\c2h_0");
        if (!c2h.valid()) return std::unexpected(open_failure(OpenStep::C2H, static_cast<int>(::GetLastError())));
        Handle h2c = open_file(path + "\\h2c_0");
        if (!h2c.valid()) return std::unexpected(open_failure(OpenStep::H2C, static_cast<int>(::GetLastError())));

        struct {
            uint64_t base;
            uint64_t length;
        } bar{};
        DWORD returned = 0;
        if (!::DeviceIoControl(user.get(), MAP_BAR_IOCTL, nullptr, 0, &bar, sizeof(bar), &returned, nullptr)) {
            return std::unexpected(map_failure("map bar ioctl failed!"));
        }
        if (returned != sizeof(bar)) {
            return std::unexpected(map_failure(fmt::format("map bar ioctl failed! wrong size {}", returned)));
        }
        return std::make_unique<WindowsLink>(std::move(user), std::move(c2h), std::move(h2c),
                                             reinterpret_cast<volatile uint32_t*>(bar.base),
                                             static_cast<std::size_t>(bar.length));
    }
};

}  // namespace

std::shared_ptr<Backend> native_backend() { return std::make_shared<WindowsBackend>(); }

std::filesystem::path module_location() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCSTR>(&module_location), &module)) {
        throw std::runtime_error("GetModuleHandleEx failed");
    }
    char path[MAX_PATH_CHARACTERS]{};
    const DWORD length = ::GetModuleFileNameA(module, path, static_cast<DWORD>(sizeof(path)));
    if (length == 0) throw std::runtime_error("GetModuleFileName failed");
    const int size = ::MultiByteToWideChar(CP_ACP, 0, path, static_cast<int>(length), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, path, static_cast<int>(length), wide.data(), size);
    return std::filesystem::path(wide);
}

}  // namespace pelio::xdma::platform

#endif  // _WIN32
