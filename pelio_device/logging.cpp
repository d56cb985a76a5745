#include "pelio_device/logging.h"

#include <utility>

#include <spdlog/spdlog.h>

namespace pelio {

void use_logger(std::shared_ptr<spdlog::logger> logger) { spdlog::set_default_logger(std::move(logger)); }

std::shared_ptr<spdlog::logger> host_logger() { return spdlog::default_logger(); }

}  // namespace pelio
