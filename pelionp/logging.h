#pragma once
// Where the library's log messages go.
//
// The library logs through spdlog's default logger. Where spdlog is
// header-only (the Windows build), every DLL has its own default logger: a
// host that configures a logger of its own hands it to the library here,
// and the library's messages (and its level changes, see NPController)
// then reach that logger. Where spdlog is one shared library the call only
// sets the default logger both already share.
//
// Threading: call before the library logs from other threads (before the
// first controller is created).
#include <memory>

#include <spdlog/logger.h>

#include "pelionp/export.h"

namespace pelionp {

/// Makes `logger` the library's default logger.
PELIONP_API void use_logger(std::shared_ptr<spdlog::logger> logger);

}  // namespace pelionp
