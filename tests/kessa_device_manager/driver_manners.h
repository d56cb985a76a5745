#pragma once
// The Linux XDMA driver's manners that a named pipe lacks, played for the
// stand-in's blocking card-to-host node:
// - the c2h node has no poll method, so the kernel reports it readable at
//   once: `poll` (interposed in the test program) answers POLLIN at once for
//   a registered node, whatever it holds;
// - a read waits until data, the driver's timeout or a signal to the reading
//   thread, and both of the latter end it with ETIMEDOUT (the driver aborts
//   the transfer either way): `DriverClock` signals a reader whose time is up,
//   and the recording backend reports an interrupted pipe read as ETIMEDOUT.
#ifndef _WIN32
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace pelio::test {

/// The node at `path` polls readable at once from now on (until forgotten).
void register_unpollable_node(const std::filesystem::path& path);
void forget_unpollable_node(const std::filesystem::path& path);

/// The kernel's id of the calling thread.
long this_thread_id();
/// Waits until the thread `tid` of this process sleeps in the system call
/// `number` (SYS_read, SYS_futex, ...), as /proc shows it, or `give_up()`
/// holds, or a generous deadline passes; true when it slept there. Where
/// /proc shows no system calls it answers true at once.
bool wait_until_asleep_in(long tid, long number, const std::function<bool()>& give_up = {});

/// Signals a thread whose read outlives its deadline, again every
/// millisecond until the read is disarmed (a signal that lands before the
/// thread enters `read` is lost, as it is with the driver).
class DriverClock {
public:
    DriverClock();
    ~DriverClock();
    DriverClock(const DriverClock&) = delete;
    DriverClock& operator=(const DriverClock&) = delete;

    /// Arms a deadline for the calling thread; returns its ticket.
    uint64_t arm(std::chrono::milliseconds timeout);
    /// Disarms the ticket; true when its deadline had passed.
    bool disarm(uint64_t ticket);

private:
    struct Armed {
        pthread_t thread;
        std::chrono::steady_clock::time_point deadline;
        bool fired = false;
    };
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, Armed> armed_;
    uint64_t next_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last
};

}  // namespace pelio::test
#endif
