#include "kessa_device_manager/platform/platform.h"

#include <fmt/format.h>

namespace pelio::xdma::platform {

// NB: the texts say "win32 error code" on every platform; on Linux the code
// is an errno value. Hosts match these texts, so they stay as they are.
std::string open_failure(OpenStep step, int code) {
    const char* what = step == OpenStep::User  ? "mm"
                       : step == OpenStep::C2H ? "c2h"
                                               : "h2c";
    return fmt::format("Error opening {} device, win32 error code: {}", what, code);
}

std::string map_failure(const std::string& reason) {
    return "Error mapping user bar to userspace: " + reason;
}

}  // namespace pelio::xdma::platform
