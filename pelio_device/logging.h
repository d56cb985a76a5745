#pragma once
// The host's logger, for the plug-ins this library loads.
//
// Where spdlog is header-only (the Windows build) every DLL has its own
// default logger, level and sinks. A host hands its logger here; a plug-in
// that finds `host_logger` in this library (by name, at run time: the
// maker's host library has no such function, so a plug-in must not import
// it) logs through it, at the host's level and into the host's sinks.
//
// Threading: call `use_logger` before plug-ins are loaded.
#include <memory>

#include <spdlog/logger.h>

#include "pelio_device/export.h"

namespace pelio {

/// Makes `logger` this library's default logger, and so the plug-ins'.
PELIO_DEVICE_API void use_logger(std::shared_ptr<spdlog::logger> logger);
/// This library's default logger.
[[nodiscard]] PELIO_DEVICE_API std::shared_ptr<spdlog::logger> host_logger();

/// The name a plug-in looks `host_logger` up by (its Itanium-mangled name,
/// as g++ and MinGW g++ export it).
inline constexpr const char* HOST_LOGGER_SYMBOL = "_ZN5pelio11host_loggerEv";

}  // namespace pelio
