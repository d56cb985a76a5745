#pragma once
// A shared reference to a loaded plug-in module, and the things a plug-in
// hands out that must keep it loaded.
//
// The loader holds one reference per loaded module; the module unloads when
// the last copy goes. A manager the loader creates takes a copy
// (`DeviceManager::module_reference()`), and whatever the plug-in hands out
// that later runs or releases through its code holds one too: stream
// buffers and streams. The last copy must never be dropped by code of the
// module itself (it would return into unmapped code), so the buffers'
// release and the streams' destruction live here, in the host library.
//
// Threading: references may be copied and dropped from any thread.
#include <cstddef>
#include <memory>

#include "pelio/basic_device.h"
#include "pelio_device/export.h"

namespace pelio {

/// Keeps a module loaded while any copy lives; empty for code not loaded
/// as a plug-in.
using ModuleReference = std::shared_ptr<const void>;

/// The module whose `create_manager` the loader is running on this thread;
/// empty anywhere else.
[[nodiscard]] PELIO_DEVICE_API ModuleReference loading_module();

/// Runs `f` with `module` as this thread's loading module.
class PELIO_DEVICE_API LoadingModuleScope {
public:
    explicit LoadingModuleScope(ModuleReference module);
    ~LoadingModuleScope();
    LoadingModuleScope(const LoadingModuleScope&) = delete;
    LoadingModuleScope& operator=(const LoadingModuleScope&) = delete;

private:
    ModuleReference previous_;
};

/// A buffer of `bytes` aligned to `alignment` (a power of two, at least 64)
/// that holds `module` until it is released; its release function is code
/// of this library. Throws std::bad_alloc.
[[nodiscard]] PELIO_DEVICE_API DataStream::OwnedData::Buffer allocate_module_buffer(std::size_t bytes,
                                                                                   std::size_t alignment,
                                                                                   ModuleReference module);

/// `stream` wrapped so that its destruction (stop and join, in the module's
/// code) finishes before `module` is dropped, here.
[[nodiscard]] PELIO_DEVICE_API std::unique_ptr<BasicDevice::DataStream> bind_stream_to_module(
    std::unique_ptr<BasicDevice::DataStream> stream, ModuleReference module);

}  // namespace pelio
