#pragma once
// Gate: a one-shot signal between test threads (one side opens it, any
// number wait for it), on a mutex and a condition variable.
//
// NB: not std::latch: its wait is std::atomic::wait, which loses wake-ups
// with MinGW's GCC 12 and left tests hanging under Wine.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pelionp::test {

class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [&] { return open_; });
    }

    /// False if the gate stayed shut for `timeout`.
    template <class Rep, class Period>
    [[nodiscard]] bool wait_for(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, timeout, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

}  // namespace pelionp::test
