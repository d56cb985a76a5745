#pragma once
// Base of every device-manager plug-in.
//
// A plug-in module exports `create_manager` (C linkage), which returns a new
// manager owned by the caller. The host reaches the manager only through the
// virtual operations below, whose slot order is part of the binary interface
// between the host and a plug-in built separately.
//
// Ownership: a manager is owned by a shared pointer (see `load_device_manager`).
// `manage_device` takes ownership of a device the manager created and hands it
// out as a shared pointer that keeps the manager, and so the plug-in module,
// alive while the device lives.
//
// Threading: a manager's operations may be called from any thread, one at a
// time; `manage_device` itself may be called concurrently.
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pelio/basic_device.h"
#include "pelio_device/export.h"

namespace pelio {

class PELIO_DEVICE_API DeviceManager : public std::enable_shared_from_this<DeviceManager> {
public:
    DeviceManager();
    virtual ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    /// JSON object with "name" and "description".
    [[nodiscard]] virtual std::string info() = 0;
    /// Full path of the plug-in module.
    [[nodiscard]] virtual std::filesystem::path location() = 0;
    /// JSON array with one object per attached device.
    [[nodiscard]] virtual std::string list_devices() = 0;
    /// JSON schema of the configuration `create_device` accepts.
    [[nodiscard]] virtual std::string device_options() = 0;
    /// Opens one device from a JSON configuration. Throws on failure.
    [[nodiscard]] virtual std::shared_ptr<BasicDevice> create_device(const std::string& configuration) = 0;

    /// Identifiers of the managed devices still alive, in creation order.
    [[nodiscard]] std::vector<std::string> managed_devices() const;

protected:
    /// The module this manager's code lives in, when the loader created it;
    /// give a copy to whatever outlives the manager and runs that code.
    [[nodiscard]] const std::shared_ptr<const void>& module_reference() const noexcept { return module_; }

    /// Takes ownership of `device` under `identifier` and returns it shared;
    /// the returned pointer keeps this manager alive. The manager must be
    /// owned by a shared pointer.
    std::shared_ptr<BasicDevice> manage_device(std::unique_ptr<BasicDevice> device, std::string identifier);

private:
    struct Entry {
        std::string identifier;
        std::weak_ptr<BasicDevice> device;
    };
    std::shared_ptr<const void> module_;
    mutable std::mutex mutex_;
    std::vector<Entry> devices_;
};

}  // namespace pelio
