// Read interrupts where a read waiting in the driver cannot be ended from
// here: a flag the read looks at before it starts, and a cancel the
// public driver ignores (its read is not cancelable) but others may honour.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform {

ReadInterrupt::ReadInterrupt() = default;
ReadInterrupt::~ReadInterrupt() = default;

void ReadInterrupt::raise() noexcept {
    std::scoped_lock lock(mutex_);
    raised_ = true;
}

void ReadInterrupt::try_cancel_readers() noexcept {
    std::scoped_lock lock(mutex_);
    for (const auto reader : readers_) {
        HANDLE thread = ::OpenThread(THREAD_TERMINATE, FALSE, static_cast<DWORD>(reader));
        if (thread == nullptr) continue;
        // NB: ERROR_NOT_FOUND is the usual answer (no cancelable I/O): the
        // board's end of packet is what ends the read.
        ::CancelSynchronousIo(thread);
        ::CloseHandle(thread);
    }
}

}  // namespace pelio::xdma::platform

#endif  // _WIN32
