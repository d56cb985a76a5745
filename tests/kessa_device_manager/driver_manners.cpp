#include "tests/kessa_device_manager/driver_manners.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

namespace pelio::test {
namespace {

using Node = std::pair<dev_t, ino_t>;

std::mutex& nodes_mutex() {
    static std::mutex m;
    return m;
}
std::set<Node>& nodes() {
    static std::set<Node> s;
    return s;
}

Node node_of(const std::filesystem::path& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat stand-in node " + path.string());
    return {st.st_dev, st.st_ino};
}

bool unpollable(int fd) {
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) return false;
    std::scoped_lock lock(nodes_mutex());
    return nodes().contains({st.st_dev, st.st_ino});
}

// The signal the stand-in's driver clock sends; its handler is installed
// without SA_RESTART, so the pipe read it lands in returns EINTR.
int clock_signal() { return SIGRTMIN + 5; }

void on_clock_signal(int) {}

}  // namespace

void register_unpollable_node(const std::filesystem::path& path) {
    const auto node = node_of(path);
    std::scoped_lock lock(nodes_mutex());
    nodes().insert(node);
}

void forget_unpollable_node(const std::filesystem::path& path) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) return;
    const auto node = node_of(path);
    std::scoped_lock lock(nodes_mutex());
    nodes().erase(node);
}

long this_thread_id() { return static_cast<long>(::gettid()); }

bool wait_until_asleep_in(long tid, long number, const std::function<bool()>& give_up) {
    // The system call a thread is in (its number first) and its state:
    // sleeping ('S') with the same call shown before and after is asleep in it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const auto task = "/proc/self/task/" + std::to_string(tid);
    const auto call = [&] {
        std::ifstream in(task + "/syscall");
        std::string line;
        std::getline(in, line);
        return line;
    };
    while (std::chrono::steady_clock::now() < deadline) {
        if (give_up && give_up()) return false;
        const std::string before = call();
        if (before.empty()) return true;  // no such view here
        std::ifstream stat(task + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto state = line.rfind(") ");
        const bool sleeping = state != std::string::npos && state + 2 < line.size() && line[state + 2] == 'S';
        if (sleeping && before.starts_with(std::to_string(number) + " ") && call() == before) return true;
        std::this_thread::yield();
    }
    return false;
}

DriverClock::DriverClock() {
    struct sigaction action{};
    action.sa_handler = on_clock_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the read returns
    ::sigaction(clock_signal(), &action, nullptr);
    thread_ = std::thread([this] { run(); });
}

DriverClock::~DriverClock() {
    {
        std::scoped_lock lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

uint64_t DriverClock::arm(std::chrono::milliseconds timeout) {
    std::scoped_lock lock(mutex_);
    const uint64_t ticket = ++next_;
    armed_.emplace(ticket, Armed{::pthread_self(), std::chrono::steady_clock::now() + timeout});
    changed_.notify_all();
    return ticket;
}

bool DriverClock::disarm(uint64_t ticket) {
    std::scoped_lock lock(mutex_);
    const auto it = armed_.find(ticket);
    if (it == armed_.end()) return false;
    const bool fired = it->second.fired;
    armed_.erase(it);
    return fired;
}

void DriverClock::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        for (auto& [ticket, armed] : armed_) {
            if (armed.deadline <= now) {
                armed.fired = true;
                ::pthread_kill(armed.thread, clock_signal());
                armed.deadline = now + std::chrono::milliseconds(1);  // until disarmed
            }
            next = std::min(next, armed.deadline);
        }
        if (next == std::chrono::steady_clock::time_point::max()) {
            changed_.wait(lock);
        } else {
            changed_.wait_until(lock, next);
        }
    }
}

}  // namespace pelio::test

// The kernel's answer for a node without a poll method: readable (and
// writable) at once. Every other descriptor is polled as usual.
extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout) {
    using Poll = int (*)(struct pollfd*, nfds_t, int);
    static const auto real = reinterpret_cast<Poll>(::dlsym(RTLD_NEXT, "poll"));
    bool any = false;
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].events & POLLIN) != 0 && pelio::test::unpollable(fds[i].fd)) any = true;
    }
    if (!any) return real(fds, count, timeout);
    const int ready = real(fds, count, 0);
    if (ready < 0) return ready;
    int n = 0;
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].events & POLLIN) != 0 && pelio::test::unpollable(fds[i].fd)) {
            fds[i].revents = static_cast<short>(fds[i].events & (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM));
        }
        if (fds[i].revents != 0) ++n;
    }
    return n;
}
#endif
