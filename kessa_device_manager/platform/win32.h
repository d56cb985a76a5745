#pragma once
// The Win32 calls of the Windows backend, one virtual operation per call, so
// that the backend's own logic (the enumeration loop and its messages, the
// open steps, the BAR-map checks, the order handles close in) runs over
// fakes on every platform. `system_api()` (Windows only) forwards each
// operation to the call it names, with the arguments the driver needs.
//
// Ownership: the backend and every Link it opens share the Api. Handles
// are plain values; the backend closes each one it opened.
//
// Threading: as the calls themselves: any thread, with one reader and one
// writer per DMA handle at a time (see platform.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform::win32 {

/// A HANDLE or HDEVINFO value.
using Handle = std::uintptr_t;
/// INVALID_HANDLE_VALUE.
inline constexpr Handle INVALID_HANDLE = ~Handle{0};
/// A GetLastError code.
using Error = uint32_t;
inline constexpr Error ERROR_INSUFFICIENT_BUFFER_CODE = 122;

/// Arguments of CreateFileW for the driver's files: read and write access,
/// no sharing, open existing, normal attributes.
inline constexpr uint32_t GENERIC_READ_WRITE = 0xC0000000;
inline constexpr uint32_t SHARE_NONE = 0;
inline constexpr uint32_t OPEN_EXISTING_FILE = 3;
inline constexpr uint32_t ATTRIBUTE_NORMAL = 0x80;

/// The BAR-map control code: device type 0x22, function 7, buffered, any access.
inline constexpr uint32_t MAP_BAR_IOCTL = 0x22001C;
/// Longest device path kept from an interface detail, in UTF-16 units.
inline constexpr std::size_t MAX_PATH_CHARACTERS = 260;

class Api {
public:
    virtual ~Api() = default;

    /// SetupDiGetClassDevsA over the XDMA interface class, present devices
    /// with device interfaces (0x12). INVALID_HANDLE on failure.
    [[nodiscard]] virtual Handle get_class_devs() = 0;
    /// SetupDiEnumDeviceInterfaces(set, class, index); the interface found
    /// is the one the detail calls below read.
    [[nodiscard]] virtual bool enum_device_interface(Handle set, uint32_t index) = 0;
    /// SetupDiGetDeviceInterfaceDetailW without a record: the size needed.
    /// A real driver "fails" with ERROR_INSUFFICIENT_BUFFER and gives the size.
    [[nodiscard]] virtual bool interface_detail_size(Handle set, uint32_t& required) = 0;
    /// HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); null on failure.
    [[nodiscard]] virtual void* heap_alloc(std::size_t bytes) = 0;
    virtual void heap_free(void* memory) = 0;
    /// Sets the record's cbSize and fills it (SetupDiGetDeviceInterfaceDetailW).
    [[nodiscard]] virtual bool interface_detail(Handle set, void* record, uint32_t size) = 0;
    /// The DevicePath of a record filled by `interface_detail`.
    [[nodiscard]] virtual std::u16string detail_path(const void* record) = 0;
    virtual void destroy_device_info_list(Handle set) = 0;
    [[nodiscard]] virtual Error last_error() = 0;
    /// FormatMessageW's text of a code (system messages, no inserts), in
    /// UTF-8 without the trailing line end; empty when it has none.
    [[nodiscard]] virtual std::string error_text(Error code) = 0;

    /// WideCharToMultiByte / MultiByteToWideChar in UTF-8; nothing on failure.
    [[nodiscard]] virtual std::optional<std::string> to_utf8(std::u16string_view wide) = 0;
    [[nodiscard]] virtual std::optional<std::u16string> to_wide(std::string_view utf8) = 0;

    /// CreateFileW; INVALID_HANDLE on failure.
    [[nodiscard]] virtual Handle create_file(const std::u16string& path, uint32_t access, uint32_t share,
                                             uint32_t disposition, uint32_t attributes) = 0;
    /// DeviceIoControl without input; `returned` gets the bytes written to `out`.
    [[nodiscard]] virtual bool device_io_control(Handle handle, uint32_t code, std::span<std::byte> out,
                                                 uint32_t& returned) = 0;
    [[nodiscard]] virtual bool read_file(Handle handle, std::span<uint8_t> buffer, uint32_t& read) = 0;
    [[nodiscard]] virtual bool write_file(Handle handle, std::span<const uint8_t> bytes, uint32_t& written) = 0;
    virtual void close_handle(Handle handle) = 0;
};

/// The Windows backend over `api`.
[[nodiscard]] std::shared_ptr<Backend> windows_backend(std::shared_ptr<Api> api);

#ifdef _WIN32
/// The real calls.
[[nodiscard]] std::shared_ptr<Api> system_api();
/// FormatMessageW's text of a system error code, as Api::error_text.
[[nodiscard]] std::string system_error_text(Error code);
#endif

}  // namespace pelio::xdma::platform::win32
