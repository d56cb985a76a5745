#pragma once
// A platform error code as the plug-in's messages show it: the code, then
// the system's text of it in parentheses. The Linux texts are spelled out
// (strerror's); Windows takes the system's own (its texts vary by release).
#include <string>

#ifdef _WIN32
#include "kessa_device_manager/platform/win32.h"
#endif

namespace pelio::test {

inline std::string coded(int code) {
#ifdef _WIN32
    return std::to_string(code) + " (" + xdma::platform::win32::system_error_text(static_cast<xdma::platform::win32::Error>(code)) + ")";
#else
    const char* text = code == 2     ? "No such file or directory"
                       : code == 5   ? "Input/output error"
                       : code == 16  ? "Device or resource busy"
                       : code == 28  ? "No space left on device"
                       : code == 110 ? "Connection timed out"
                                     : "(add the text here)";
    return std::to_string(code) + " (" + text + ")";
#endif
}

}  // namespace pelio::test
