// The readers an interrupt knows of, on every platform; what `raise` does
// to them is the platform's (linux_backend.cpp, read_interrupt_win32.cpp).
#include <algorithm>

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform {

WatchedRead::WatchedRead(const ReadWait& wait) noexcept {
    const auto self = std::thread::native_handle_type(
#ifdef _WIN32
        0
#else
        ::pthread_self()
#endif
    );
    std::size_t n = 0;
    for (const auto* watched : wait.interrupts) {
        if (watched == nullptr) continue;
        // NB: the interrupt is const to the reader, which only joins its list.
        auto* interrupt = const_cast<ReadInterrupt*>(watched);
        std::scoped_lock lock(interrupt->mutex_);
        if (interrupt->raised_) {
            interrupted_ = true;
            break;
        }
        interrupt->readers_.push_back(self);
        registered_[n++] = interrupt;
    }
}

WatchedRead::~WatchedRead() {
    const auto self = std::thread::native_handle_type(
#ifdef _WIN32
        0
#else
        ::pthread_self()
#endif
    );
    for (auto* interrupt : registered_) {
        if (interrupt == nullptr) continue;
        {
            std::scoped_lock lock(interrupt->mutex_);
            const auto it = std::ranges::find(interrupt->readers_, self);
            if (it != interrupt->readers_.end()) interrupt->readers_.erase(it);
        }
        interrupt->left_.notify_all();
    }
}

bool WatchedRead::interrupted() const noexcept { return interrupted_; }

void ReadInterrupt::lower() noexcept {
    std::scoped_lock lock(mutex_);
    raised_ = false;
}

}  // namespace pelio::xdma::platform
