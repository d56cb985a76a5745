#include "record/logging.h"

#include <utility>

#include <spdlog/spdlog.h>

namespace pelionp::record {

void use_logger(std::shared_ptr<spdlog::logger> logger) { spdlog::set_default_logger(std::move(logger)); }

}  // namespace pelionp::record
