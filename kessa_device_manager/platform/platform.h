#pragma once
// The XDMA driver seen through one small interface, so that everything above
// it is portable C++.
//
// A `Backend` finds devices and opens them; a `Link` is one opened device:
// its user BAR mapped into the process and the two DMA channels. The Linux
// backend talks to the driver's character devices, the Windows backend to
// its device interface; tests run the Linux backend over ordinary files.
//
// Threading: `Backend` operations may be called from any thread. A `Link`
// allows concurrent register loads and stores (each one 32-bit access) and
// one reader and one writer of the DMA channels at a time; its owner
// guarantees no call is in flight when it is destroyed.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelio::xdma::platform {

/// One opened device. Register offsets are byte offsets into the user BAR;
/// the caller checks alignment and bounds (the driver does not).
class Link {
public:
    virtual ~Link() = default;

    /// Length of the mapped user BAR in bytes.
    [[nodiscard]] virtual std::size_t register_space_bytes() const = 0;
    [[nodiscard]] virtual uint32_t load(std::size_t offset) const = 0;
    virtual void store(std::size_t offset, uint32_t value) = 0;

    /// One card-to-host transfer into `buffer`; the byte count or the
    /// platform's error code (errno on Linux, a Win32 code on Windows).
    virtual std::expected<std::size_t, int> read(std::span<uint8_t> buffer) = 0;
    /// One host-to-card transfer; the byte count or the platform's error code.
    virtual std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) = 0;
};

/// Finds and opens devices.
class Backend {
public:
    virtual ~Backend() = default;

    /// Paths of the present devices in the driver's probe order. Throws
    /// std::runtime_error when the enumeration itself fails.
    [[nodiscard]] virtual std::vector<std::string> list_devices() = 0;
    /// Opens the three files of a device and maps its user BAR; the error
    /// names the step that failed.
    [[nodiscard]] virtual std::expected<std::unique_ptr<Link>, std::string> open(
        const std::string& path) = 0;
};

/// The backend of the platform this was built for, over the system's devices.
[[nodiscard]] std::shared_ptr<Backend> native_backend();

#ifndef _WIN32
/// Default directory of the driver's device nodes.
inline constexpr const char* DEFAULT_DEVICE_DIRECTORY = "/dev";
/// The Linux backend over the device nodes found in `directory`.
[[nodiscard]] std::shared_ptr<Backend> linux_backend(std::filesystem::path directory);
#endif

/// Full path of the plug-in's own module file. Throws std::runtime_error.
[[nodiscard]] std::filesystem::path module_location();

/// Messages of the open steps, shared by the backends so both speak alike.
enum class OpenStep { User, C2H, H2C };
[[nodiscard]] std::string open_failure(OpenStep step, int code);
[[nodiscard]] std::string map_failure(const std::string& reason);

}  // namespace pelio::xdma::platform
