// The real Win32 calls behind win32::Api, the native backend on Windows and
// the plug-in's own location.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <map>
#include <string>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "kessa_device_manager/platform/win32.h"

namespace pelio::xdma::platform {
namespace win32 {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(HANDLE) == sizeof(Handle));
static_assert(MAP_BAR_IOCTL == CTL_CODE(0x22, 7, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(GENERIC_READ_WRITE == (GENERIC_READ | GENERIC_WRITE) && OPEN_EXISTING_FILE == OPEN_EXISTING &&
              ATTRIBUTE_NORMAL == FILE_ATTRIBUTE_NORMAL && ERROR_INSUFFICIENT_BUFFER_CODE == ERROR_INSUFFICIENT_BUFFER);

// The XDMA driver's device interface class {74c7e4a9-6d5d-4a70-bc0d-20691dff9e9d}.
const GUID XDMA_INTERFACE_GUID = {0x74c7e4a9, 0x6d5d, 0x4a70, {0xbc, 0x0d, 0x20, 0x69, 0x1d, 0xff, 0x9e, 0x9d}};

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle value(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

}  // namespace

std::string system_error_text(Error code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return {};
    std::wstring wide(text, length);
    ::LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) wide.pop_back();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr,
                              nullptr);
    }
    return utf8;
}

namespace {

class SystemApi final : public Api {
public:
    Handle get_class_devs() override {
        return value(::SetupDiGetClassDevsA(&XDMA_INTERFACE_GUID, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    }

    bool enum_device_interface(Handle set, uint32_t index) override {
        std::lock_guard lock(mutex_);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!::SetupDiEnumDeviceInterfaces(native(set), nullptr, &XDMA_INTERFACE_GUID, index, &data)) return false;
        interfaces_[set] = data;
        return true;
    }

    bool interface_detail_size(Handle set, uint32_t& required) override {
        std::lock_guard lock(mutex_);
        DWORD size = 0;
        const BOOL ok = ::SetupDiGetDeviceInterfaceDetailW(native(set), &interfaces_[set], nullptr, 0, &size, nullptr);
        required = size;
        return ok != FALSE;
    }

    void* heap_alloc(std::size_t bytes) override { return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }
    void heap_free(void* memory) override { ::HeapFree(::GetProcessHeap(), 0, memory); }

    bool interface_detail(Handle set, void* record, uint32_t size) override {
        std::lock_guard lock(mutex_);
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(record);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        return ::SetupDiGetDeviceInterfaceDetailW(native(set), &interfaces_[set], detail, size, nullptr, nullptr) !=
               FALSE;
    }

    std::u16string detail_path(const void* record) override {
        const auto* detail = static_cast<const SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(record);
        return reinterpret_cast<const char16_t*>(detail->DevicePath);
    }

    void destroy_device_info_list(Handle set) override {
        {
            std::lock_guard lock(mutex_);
            interfaces_.erase(set);
        }
        ::SetupDiDestroyDeviceInfoList(native(set));
    }
    Error last_error() override { return ::GetLastError(); }
    std::string error_text(Error code) override { return system_error_text(code); }

    std::optional<std::string> to_utf8(std::u16string_view wide) override {
        const auto* data = reinterpret_cast<const wchar_t*>(wide.data());
        const int length = static_cast<int>(wide.size());
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, data, length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return std::nullopt;
        std::string utf8(static_cast<std::size_t>(size), '\0');
        if (::WideCharToMultiByte(CP_UTF8, 0, data, length, utf8.data(), size, nullptr, nullptr) != size) {
            return std::nullopt;
        }
        return utf8;
    }

    std::optional<std::u16string> to_wide(std::string_view utf8) override {
        const int length = static_cast<int>(utf8.size());
        const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
        if (size <= 0) return std::nullopt;
        std::u16string wide(static_cast<std::size_t>(size), u'\0');
        if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length,
                                  reinterpret_cast<wchar_t*>(wide.data()), size) != size) {
            return std::nullopt;
        }
        return wide;
    }

    Handle create_file(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t attributes) override {
        return value(::CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), access, share, nullptr,
                                   disposition, attributes, nullptr));
    }

    bool device_io_control(Handle handle, uint32_t code, std::span<std::byte> out, uint32_t& returned) override {
        DWORD n = 0;
        const BOOL ok = ::DeviceIoControl(native(handle), code, nullptr, 0, out.data(), static_cast<DWORD>(out.size()),
                                          &n, nullptr);
        returned = n;
        return ok != FALSE;
    }

    bool read_file(Handle handle, std::span<uint8_t> buffer, uint32_t& read) override {
        DWORD n = 0;
        const BOOL ok = ::ReadFile(native(handle), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr);
        read = n;
        return ok != FALSE;
    }

    bool write_file(Handle handle, std::span<const uint8_t> bytes, uint32_t& written) override {
        DWORD n = 0;
        const BOOL ok = ::WriteFile(native(handle), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
        written = n;
        return ok != FALSE;
    }

    void close_handle(Handle handle) override { ::CloseHandle(native(handle)); }

private:
    // The interface each enumeration (one device information set) is at,
    // between the calls of one step; concurrent listings use their own sets.
    std::mutex mutex_;
    std::map<Handle, SP_DEVICE_INTERFACE_DATA> interfaces_;
};

}  // namespace

std::shared_ptr<Api> system_api() {
    static const auto api = std::make_shared<SystemApi>();
    return api;
}

}  // namespace win32

std::shared_ptr<Backend> native_backend() { return win32::windows_backend(win32::system_api()); }

std::filesystem::path module_location() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&module_location), &module)) {
        throw std::runtime_error("GetModuleHandleEx failed");
    }
    // NB: wide characters and a growing buffer: a path outside the ANSI code
    // page or longer than MAX_PATH still names the module exactly.
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) throw std::runtime_error("GetModuleFileName failed");
        if (length < path.size()) return std::filesystem::path(std::wstring(path.data(), length));
        path.resize(path.size() * 2);
    }
}

}  // namespace pelio::xdma::platform

#endif  // _WIN32
