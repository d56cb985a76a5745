// The readers an interrupt knows of, on every platform; what `raise` does
// to them is the platform's (linux_backend.cpp, read_interrupt_win32.cpp).
#include <algorithm>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform {
namespace {

std::thread::native_handle_type this_reader() noexcept {
#ifdef _WIN32
    return static_cast<std::thread::native_handle_type>(::GetCurrentThreadId());
#else
    return ::pthread_self();
#endif
}

}  // namespace

WatchedRead::WatchedRead(const ReadWait& wait) noexcept {
    const auto self = this_reader();
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
    const auto self = this_reader();
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

bool ReadInterrupt::reader_in_flight() {
    std::scoped_lock lock(mutex_);
    return !readers_.empty();
}

bool ReadInterrupt::wait_until_no_reader_for(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return left_.wait_for(lock, patience, [&] { return readers_.empty(); });
}

void ReadInterrupt::lower() noexcept {
    std::scoped_lock lock(mutex_);
    raised_ = false;
}

}  // namespace pelio::xdma::platform
