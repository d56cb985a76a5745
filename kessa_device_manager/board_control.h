#pragma once
// Bringing a Rhythm image into a clean state, and switching FPGA images.
//
// Threading: both run on the caller's thread and may sleep (see `Timing`).
// A reboot releases the handler's connection while the board re-enumerates:
// other threads' register accesses throw and a running stream pauses until
// the new connection is installed.
#include <cstdint>
#include <optional>
#include <string_view>

#include "kessa_device_manager/handler.h"

namespace pelio::xdma {

/// Flash address of a boot image: "bootloader", "rhd", "rhs" or "np".
[[nodiscard]] std::optional<uint32_t> boot_image_address(std::string_view mode);

/// Pipeline reset and overflow clearing of a Rhythm image; skips other
/// images. Failures are logged; a stuck overflow reboots the board once.
void initialise(Handler& handler);

/// Switches the board to the image of `mode`, waits for it to leave and come
/// back, and reopens it. 0 on success, 1 on failure (logged). Throws
/// std::runtime_error "Unknown Boot Mode\n" before touching the board when
/// `mode` names no image.
int reboot(Handler& handler, std::string_view mode);

}  // namespace pelio::xdma
