#pragma once
// The plug-in's device manager: lists the Thunderbolt boards the XDMA driver
// serves and opens one from a JSON configuration.
//
// Configuration (validated against `device_options()` after its defaults are
// filled in): "id" (integer, default 0) indexes `list_devices`; "mode"
// ("bootloader", "rhd", "rhs" or "np") reboots the board into that image
// when it runs another; "skip_init" (boolean, default false) skips the
// Rhythm initialisation.
//
// Threading: as `pelio::DeviceManager`. Failures surface as exceptions.
// Test seam: the constructor taking a backend and waits lets tests run the
// manager over stand-in boards with short waits.
#include <filesystem>
#include <memory>
#include <string>

#include "kessa_device_manager/handler.h"
#include "kessa_device_manager/platform/platform.h"
#include "pelio_device/device_manager.h"

namespace pelio {

class kessa_device_manager final : public DeviceManager {
public:
    /// Over the system's devices.
    kessa_device_manager();
    /// Over the devices `backend` finds, waiting as `timing` says.
    explicit kessa_device_manager(std::shared_ptr<xdma::platform::Backend> backend, xdma::Timing timing = {});
    ~kessa_device_manager() override;

    std::string info() override;
    /// Throws std::runtime_error when the module cannot be located.
    std::filesystem::path location() override;
    std::string list_devices() override;
    std::string device_options() override;
    /// Throws std::runtime_error ("Failed to parse configuration: ...",
    /// "Invalid configuration: ...", the device's open error, "Cannot get
    /// device status: ...", "Pelio Reboot Failed") or std::out_of_range
    /// ("invalid vector subscript") for an "id" without a device.
    std::shared_ptr<BasicDevice> create_device(const std::string& configuration) override;

private:
    std::shared_ptr<xdma::platform::Backend> backend_;
    xdma::Timing timing_;
};

}  // namespace pelio
