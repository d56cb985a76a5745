#include "pelio_device/loader.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <fmt/format.h>

#include "pelio_device/module_reference.h"

namespace pelio {
namespace {

/// One reference to a loaded module; the module unloads with the last one.
class Module {
public:
#ifdef _WIN32
    using Native = HMODULE;
#else
    using Native = void*;
#endif
    explicit Module(Native native) noexcept : native_(native) {}
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() {
#ifdef _WIN32
        ::FreeLibrary(native_);
#else
        ::dlclose(native_);
#endif
    }

    [[nodiscard]] void* symbol(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<void*>(::GetProcAddress(native_, name));
#else
        return ::dlsym(native_, name);
#endif
    }

private:
    Native native_;
};

#ifdef _WIN32
// "Windows error CODE (the system's text)".
std::string windows_error(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message(text != nullptr ? text : "", length);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? fmt::format("Windows error {}", code) : fmt::format("Windows error {} ({})", code, message);
}
#endif

std::expected<std::shared_ptr<Module>, std::string> open_module(const std::filesystem::path& path) {
#ifdef _WIN32
    // With a full path the module's own folder is searched for the DLLs it
    // needs, as a host installs a plug-in together with its dependencies.
    // NB: the altered search path takes the folder from the last backslash:
    // a path written with forward slashes ("C:/lab/kessa_device_manager.dll")
    // would not find the DLLs beside it.
    const DWORD flags = path.is_absolute() ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    const std::filesystem::path native_path = path.is_absolute() ? std::filesystem::path(path).make_preferred() : path;
    HMODULE native = ::LoadLibraryExW(native_path.c_str(), nullptr, flags);
    if (native == nullptr) return std::unexpected(windows_error(::GetLastError()));
#else
    void* native = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (native == nullptr) return std::unexpected(std::string(::dlerror()));
#endif
    return std::make_shared<Module>(native);
}

}  // namespace

std::expected<std::shared_ptr<DeviceManager>, std::string> load_device_manager(const std::filesystem::path& module) {
    auto loaded = open_module(module);
    if (!loaded) return std::unexpected(fmt::format("Cannot load plug-in {}: {}", module.string(), loaded.error()));
    using CreateManager = DeviceManager* (*)();
    auto create = reinterpret_cast<CreateManager>((*loaded)->symbol(CREATE_MANAGER_SYMBOL));
    if (create == nullptr) {
        return std::unexpected(fmt::format("Plug-in {} has no {}", module.string(), CREATE_MANAGER_SYMBOL));
    }
    // The manager (and through it the plug-in's buffers and streams) takes a
    // reference to the module while it is created.
    DeviceManager* manager = nullptr;
    {
        LoadingModuleScope scope(*loaded);
        manager = create();
    }
    if (manager == nullptr) {
        return std::unexpected(fmt::format("Plug-in {}: {} returned no manager", module.string(), CREATE_MANAGER_SYMBOL));
    }
    // The deleter (code of this library) runs the manager's destructor, then
    // drops the module reference; devices hold the manager.
    return std::shared_ptr<DeviceManager>(manager, [module_ref = std::move(*loaded)](DeviceManager* m) mutable {
        delete m;
        module_ref.reset();
    });
}

}  // namespace pelio
