// The module's one entry point, found by the host device library by name.
#include "kessa_device_manager/kessa_device_manager.h"
#ifdef _WIN32
#include "kessa_device_manager/platform/win32.h"
#endif

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <spdlog/spdlog.h>

#include "pelio_device/logging.h"

#if defined(_WIN32)
#define KESSA_ENTRY_POINT extern "C" __declspec(dllexport)
#else
#define KESSA_ENTRY_POINT extern "C" __attribute__((visibility("default")))
#endif

extern "C" pelio::DeviceManager* create_manager();

namespace {

// The module stays loaded for the rest of the process once a manager was
// made: its stream buffers are released, its stream threads end and its
// read-interrupt signal handler runs in its own code, whenever the host
// drops them, and the host library gives nothing beyond the device
// manager's base to hold a module (NB: its memory stays mapped after the
// host's last reference).
void pin_this_module() {
    static const bool pinned = [] {
#ifdef _WIN32
        HMODULE self = nullptr;
        if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                 reinterpret_cast<LPCWSTR>(&create_manager), &self) == 0) {
            const auto code = ::GetLastError();
            spdlog::warn("kessa_device_manager: cannot pin the module: Windows error {}",
                         pelio::xdma::platform::coded(code, pelio::xdma::platform::win32::system_error_text(code)));
            return false;
        }
        return true;
#else
        Dl_info info{};
        if (::dladdr(reinterpret_cast<void*>(&create_manager), &info) == 0 || info.dli_fname == nullptr) {
            spdlog::warn("kessa_device_manager: cannot pin the module: dladdr found no file");
            return false;
        }
        // NB: the handle is never closed: it is the pin.
        if (::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) == nullptr) {
            spdlog::warn("kessa_device_manager: cannot pin the module: {}", ::dlerror());
            return false;
        }
        return true;
#endif
    }();
    (void)pinned;
}

// Logs through the host's logger where the host library offers one (see
// pelio_device/logging.h): on Windows this module's spdlog is its own.
// Looked up by name, so that the module imports nothing new.
void use_host_logger() {
    using HostLogger = std::shared_ptr<spdlog::logger> (*)();
#ifdef _WIN32
    HMODULE host = ::GetModuleHandleW(L"pelio_device.dll");
    const auto lookup = host != nullptr ? reinterpret_cast<HostLogger>(
                                              reinterpret_cast<void*>(::GetProcAddress(host, pelio::HOST_LOGGER_SYMBOL)))
                                        : nullptr;
#else
    const auto lookup = reinterpret_cast<HostLogger>(::dlsym(RTLD_DEFAULT, pelio::HOST_LOGGER_SYMBOL));
#endif
    if (lookup == nullptr) return;
    if (auto logger = lookup()) spdlog::set_default_logger(std::move(logger));
}

}  // namespace

/// A new manager, owned by the caller and destroyed through its virtual
/// destructor.
KESSA_ENTRY_POINT pelio::DeviceManager* create_manager() {
    pin_this_module();
    use_host_logger();
    spdlog::debug("kessa_device_manager: a new manager");
    return new pelio::kessa_device_manager();
}
