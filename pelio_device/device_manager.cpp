#include "pelio_device/device_manager.h"

#include <stdexcept>

#include "pelio_device/module_reference.h"

namespace pelio {

DeviceManager::DeviceManager() : module_(loading_module()) {}
DeviceManager::~DeviceManager() = default;

std::shared_ptr<BasicDevice> DeviceManager::manage_device(std::unique_ptr<BasicDevice> device,
                                                          std::string identifier) {
    if (!device) throw std::invalid_argument("manage_device: no device");
    // Throws std::bad_weak_ptr when the manager is not shared-owned.
    std::shared_ptr<DeviceManager> self = shared_from_this();
    // The deleter lives in this library, not in the plug-in: it runs the
    // device's destructor, then drops the manager (and with it the module).
    std::shared_ptr<BasicDevice> shared(device.release(), [self = std::move(self)](BasicDevice* d) mutable {
        delete d;
        self.reset();
    });
    std::scoped_lock lock(mutex_);
    std::erase_if(devices_, [](const Entry& entry) { return entry.device.expired(); });
    devices_.push_back({std::move(identifier), shared});
    return shared;
}

std::vector<std::string> DeviceManager::managed_devices() const {
    std::scoped_lock lock(mutex_);
    std::vector<std::string> identifiers;
    for (const auto& entry : devices_) {
        if (!entry.device.expired()) identifiers.push_back(entry.identifier);
    }
    return identifiers;
}

}  // namespace pelio
