// Read interrupts where a read waiting in the driver cannot be ended from
// here: a flag the read looks at before it starts.
#ifdef _WIN32

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform {

ReadInterrupt::ReadInterrupt() = default;
ReadInterrupt::~ReadInterrupt() = default;

void ReadInterrupt::raise() noexcept {
    std::scoped_lock lock(mutex_);
    raised_ = true;
}


}  // namespace pelio::xdma::platform

#endif  // _WIN32
