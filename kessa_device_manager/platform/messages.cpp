#include "kessa_device_manager/platform/platform.h"

#include <fmt/format.h>

namespace pelio::xdma::platform {

// NB: the texts say "win32 error code" on every platform; on Linux the code
// is an errno value. Hosts match these texts up to the code, so they stay as
// they are; the system's words for the code follow it.
std::string open_failure(OpenStep step, int code, const std::string& text) {
    const char* what = step == OpenStep::User  ? "mm"
                       : step == OpenStep::C2H ? "c2h"
                                               : "h2c";
    return fmt::format("Error opening {} device, win32 error code: {}", what, coded(code, text));
}

std::string coded(long long code, const std::string& text) {
    return text.empty() ? std::to_string(code) : fmt::format("{} ({})", code, text);
}

std::string map_failure(const std::string& reason) {
    return "Error mapping user bar to userspace: " + reason;
}

}  // namespace pelio::xdma::platform
