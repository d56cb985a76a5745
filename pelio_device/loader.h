#pragma once
// Loads a device-manager plug-in module by path.
//
// The module stays loaded while the manager or any device it created lives:
// each holds a reference to the module, and the last one released unloads
// it. A data stream started on a device runs code of the module too: destroy
// streams before the last reference to their device goes.
#include <expected>
#include <filesystem>
#include <memory>
#include <string>

#include "pelio_device/device_manager.h"
#include "pelio_device/export.h"

namespace pelio {

/// Name of the entry point every plug-in exports with C linkage.
inline constexpr const char* CREATE_MANAGER_SYMBOL = "create_manager";

/// Loads `module`, calls its `create_manager` and returns the manager. The
/// error names the module and what failed.
[[nodiscard]] PELIO_DEVICE_API std::expected<std::shared_ptr<DeviceManager>, std::string> load_device_manager(
    const std::filesystem::path& module);

}  // namespace pelio
