#include "tests/doctor/exclusive_nodes.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace pelio::test {
namespace {

using Node = std::pair<dev_t, ino_t>;

// Exclusive nodes and the descriptor open on each (-1: none).
std::atomic<bool> any_exclusive{false};
std::mutex& exclusive_mutex() {
    static std::mutex m;
    return m;
}
std::map<Node, int>& exclusive() {
    static std::map<Node, int> opened;
    return opened;
}

Node node_of(const std::filesystem::path& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat stand-in node " + path.string());
    return {st.st_dev, st.st_ino};
}

}  // namespace

void register_exclusive_node(const std::filesystem::path& path) {
    const auto node = node_of(path);
    std::scoped_lock lock(exclusive_mutex());
    exclusive().emplace(node, -1);
    any_exclusive = true;
}

void forget_exclusive_node(const std::filesystem::path& path) {
    const auto node = node_of(path);
    std::scoped_lock lock(exclusive_mutex());
    exclusive().erase(node);
}

}  // namespace pelio::test

namespace {

using pelio::test::exclusive;
using pelio::test::exclusive_mutex;

template <class Open>
int open_once(Open real, const char* path, int flags, mode_t mode) {
    if (!pelio::test::any_exclusive) return real(path, flags, mode);
    struct stat st{};
    const bool known = ::stat(path, &st) == 0;
    std::scoped_lock lock(exclusive_mutex());
    const auto it = known ? exclusive().find({st.st_dev, st.st_ino}) : exclusive().end();
    if (it != exclusive().end() && it->second >= 0) {
        errno = EBUSY;
        return -1;
    }
    const int fd = real(path, flags, mode);
    if (it != exclusive().end() && fd >= 0) it->second = fd;
    return fd;
}

mode_t mode_argument(int flags, va_list args) {
    return ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    using Open = int (*)(const char*, int, ...);
    static const auto real = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "open"));
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_once(real, path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
    using Open = int (*)(const char*, int, ...);
    static const auto real = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "open64"));
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_once(real, path, flags, mode);
}

extern "C" int close(int fd) {
    using Close = int (*)(int);
    static const auto real = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "close"));
    if (pelio::test::any_exclusive && fd >= 0) {
        std::scoped_lock lock(exclusive_mutex());
        for (auto& [node, open_fd] : exclusive()) {
            if (open_fd == fd) open_fd = -1;
        }
    }
    return real(fd);
}
#endif
