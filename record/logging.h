#pragma once
// Where the recording library's log messages go: as for the Neuropixels
// library (pelionp/logging.h), a host on Windows, where every DLL has a
// default logger of its own, hands its logger to this library too.
//
// Threading: call before the library logs from other threads.
#include <memory>

#include <spdlog/logger.h>

#include "record/export.h"

namespace pelionp::record {

/// Makes `logger` the recording library's default logger.
PELIONP_RECORD_API void use_logger(std::shared_ptr<spdlog::logger> logger);

}  // namespace pelionp::record
