// Linux backend: the XDMA driver's character devices.
//
// The driver makes, per card N in probe order, /dev/xdmaN_user (the user BAR,
// mmap-able), /dev/xdmaN_c2h_0 and /dev/xdmaN_h2c_0 (the DMA channels). A
// device's path is the common prefix /dev/xdmaN. Ordinary files stand in for
// the nodes in tests: the BAR size then comes from the file size.
#ifndef _WIN32

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <system_error>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "kessa_device_manager/platform/platform.h"

namespace pelio::xdma::platform {
namespace {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }

private:
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
};

class Mapping {
public:
    Mapping(void* base, std::size_t length) noexcept : base_(base), length_(length) {}
    Mapping(Mapping&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    Mapping& operator=(Mapping&&) = delete;
    ~Mapping() {
        if (base_ != nullptr) ::munmap(base_, length_);
    }

    [[nodiscard]] volatile uint32_t* words() const noexcept { return static_cast<volatile uint32_t*>(base_); }
    [[nodiscard]] std::size_t length() const noexcept { return length_; }

private:
    void* base_;
    std::size_t length_;
};

// strerror's text, without its thread-safety doubts.
std::string errno_text(int code) { return std::generic_category().message(code); }

class LinuxLink final : public Link {
public:
    LinuxLink(FileDescriptor user, FileDescriptor c2h, FileDescriptor h2c, Mapping bar)
        : user_(std::move(user)), c2h_(std::move(c2h)), h2c_(std::move(h2c)), bar_(std::move(bar)) {}

    std::size_t register_space_bytes() const override { return bar_.length(); }
    uint32_t load(std::size_t offset) const override { return bar_.words()[offset / 4]; }
    void store(std::size_t offset, uint32_t value) override { bar_.words()[offset / 4] = value; }

    std::expected<std::size_t, int> read(std::span<uint8_t> buffer, const ReadWait& wait) override {
        ssize_t n = 0;
        int error = 0;
        {
            WatchedRead watched(wait);
            if (watched.interrupted()) return std::unexpected(READ_INTERRUPTED);
            n = ::read(c2h_.get(), buffer.data(), buffer.size());
            error = errno;
        }
        if (n >= 0) return static_cast<std::size_t>(n);
        // The driver answers the signal of an interrupt as its timeout (it
        // aborts the transfer): a failure while one is raised is no error.
        for (const auto* interrupt : wait.interrupts) {
            if (interrupt != nullptr && interrupt->raised()) return std::unexpected(READ_INTERRUPTED);
        }
        return std::unexpected(error);
    }

    std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) override {
        const ssize_t n = ::write(h2c_.get(), bytes.data(), bytes.size());
        if (n < 0) return std::unexpected(errno);
        return static_cast<std::size_t>(n);
    }

    std::string error_text(int code) const override { return errno_text(code); }

private:
    // NB: the mapping is released before the user node closes (reverse order).
    FileDescriptor user_;
    FileDescriptor c2h_;
    FileDescriptor h2c_;
    Mapping bar_;
};

FileDescriptor open_node(const std::string& path, int flags) {
    return FileDescriptor(::open(path.c_str(), flags | O_CLOEXEC));
}

// The driver reports no size through the node (fstat gives 0, lseek fails).
// The user BAR is the first non-empty BAR of the PCI function: the driver
// places it before its own configuration BAR.
}  // namespace

std::expected<std::size_t, std::string> bar_size_from_sysfs(const std::filesystem::path& sysfs_root,
                                                            const std::string& name) {
    const auto resource = sysfs_root / "class" / "xdma" / name / "device" / "resource";
    std::ifstream lines(resource);
    if (!lines) return std::unexpected(fmt::format("cannot read {}", resource.string()));
    std::string line;
    for (int bar = 0; bar < 6 && std::getline(lines, line); ++bar) {
        std::istringstream fields(line);
        unsigned long long start = 0, end = 0, flags = 0;
        fields >> std::hex >> start >> end >> flags;
        if (!fields) break;
        if (end > start) return static_cast<std::size_t>(end - start + 1);
    }
    return std::unexpected(fmt::format("no memory BAR listed in {}", resource.string()));
}

namespace {

std::expected<std::size_t, std::string> bar_size(int user_fd, const std::filesystem::path& sysfs_root,
                                                 const std::string& user_node) {
    struct stat st{};
    if (::fstat(user_fd, &st) != 0) return std::unexpected(fmt::format("fstat failed: {}", coded(errno, errno_text(errno))));
    if (S_ISREG(st.st_mode)) return static_cast<std::size_t>(st.st_size);
    return bar_size_from_sysfs(sysfs_root, std::filesystem::path(user_node).filename().string());
}

class LinuxBackend final : public Backend {
public:
    LinuxBackend(std::filesystem::path directory, std::filesystem::path sysfs_root)
        : directory_(std::move(directory)), sysfs_root_(std::move(sysfs_root)) {}

    std::vector<std::string> list_devices() override {
        std::error_code error;
        std::filesystem::directory_iterator entries(directory_, error);
        if (error) {
            throw std::runtime_error(
                fmt::format("Cannot list devices in {}: {}", directory_.string(), error.message()));
        }
        std::vector<std::pair<unsigned, std::string>> found;
        for (const auto& entry : entries) {
            const auto name = entry.path().filename().string();
            constexpr std::string_view prefix = "xdma", suffix = "_user";
            if (!name.starts_with(prefix) || !name.ends_with(suffix)) continue;
            const std::string_view digits(name.data() + prefix.size(),
                                          name.size() - prefix.size() - suffix.size());
            unsigned n = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
            if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) continue;
            found.emplace_back(n, (directory_ / ("xdma" + std::to_string(n))).string());
        }
        std::ranges::sort(found);
        std::vector<std::string> paths;
        paths.reserve(found.size());
        for (auto& [n, path] : found) paths.push_back(std::move(path));
        return paths;
    }

    // The driver's class entry of the user node links to the PCI function
    // (/sys/class/xdma/xdmaN_user/device -> .../0000:03:00.0).
    std::optional<std::string> board_address(const std::string& path) override {
        const auto name = std::filesystem::path(path + "_user").filename();
        std::error_code error;
        const auto target = std::filesystem::read_symlink(sysfs_root_ / "class" / "xdma" / name / "device", error);
        if (error || target.filename().empty()) return std::nullopt;
        return target.filename().string();
    }

    std::expected<std::unique_ptr<Link>, std::string> open(const std::string& path) override {
        const std::string user_node = path + "_user";
        FileDescriptor user = open_node(user_node, O_RDWR);
        if (!user.valid()) return std::unexpected(open_failure(OpenStep::User, errno, errno_text(errno)));

        // O_TRUNC asks the driver to end a read at the end-of-packet mark
        // (the stream's TLAST). On an ordinary file it would erase the data.
        const std::string c2h_node = path + "_c2h_0";
        struct stat st{};
        const bool character_device = ::stat(c2h_node.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
        FileDescriptor c2h = open_node(c2h_node, O_RDWR | (character_device ? O_TRUNC : 0));
        if (!c2h.valid()) return std::unexpected(open_failure(OpenStep::C2H, errno, errno_text(errno)));

        FileDescriptor h2c = open_node(path + "_h2c_0", O_RDWR);
        if (!h2c.valid()) return std::unexpected(open_failure(OpenStep::H2C, errno, errno_text(errno)));

        const auto length = bar_size(user.get(), sysfs_root_, user_node);
        if (!length) return std::unexpected(map_failure(length.error()));
        if (*length == 0) return std::unexpected(map_failure("user BAR is empty"));
        void* base = ::mmap(nullptr, *length, PROT_READ | PROT_WRITE, MAP_SHARED, user.get(), 0);
        if (base == MAP_FAILED) {
            return std::unexpected(map_failure(fmt::format("mmap failed: {}", coded(errno, errno_text(errno)))));
        }

        return std::make_unique<LinuxLink>(std::move(user), std::move(c2h), std::move(h2c),
                                           Mapping(base, *length));
    }

private:
    std::filesystem::path directory_;
    std::filesystem::path sysfs_root_;
};

}  // namespace

namespace {

// NB: a real-time signal, which hosts rarely use; its handler does nothing
// and is installed without SA_RESTART, so the driver's read it lands in
// returns. The module is pinned while loaded (see plugin_entry.cpp), so the
// handler never points into unloaded code.
int read_signal() { return SIGRTMIN + 4; }

extern "C" void on_read_signal(int) {}

void install_read_signal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current{};
        if (::sigaction(read_signal(), nullptr, &current) != 0) {
            throw std::system_error(errno, std::generic_category(), "sigaction for read interrupts");
        }
        if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) return;  // the host's: it ends reads too
        struct sigaction action{};
        action.sa_handler = on_read_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        if (::sigaction(read_signal(), &action, nullptr) != 0) {
            throw std::system_error(errno, std::generic_category(), "sigaction for read interrupts");
        }
    });
}

// How often a reader that has not left its read yet is signalled again: a
// signal that lands just before the thread enters the read is lost.
constexpr auto RESIGNAL = std::chrono::milliseconds(1);

}  // namespace

ReadInterrupt::ReadInterrupt() { install_read_signal(); }

ReadInterrupt::~ReadInterrupt() = default;

void ReadInterrupt::raise() noexcept {
    std::unique_lock lock(mutex_);
    raised_ = true;
    while (!readers_.empty()) {
        for (const auto reader : readers_) ::pthread_kill(reader, read_signal());
        left_.wait_for(lock, RESIGNAL);
    }
}

void ReadInterrupt::try_cancel_readers() noexcept {}

std::shared_ptr<Backend> linux_backend(std::filesystem::path directory, std::filesystem::path sysfs_root) {
    return std::make_shared<LinuxBackend>(std::move(directory), std::move(sysfs_root));
}

std::shared_ptr<Backend> native_backend() { return linux_backend(DEFAULT_DEVICE_DIRECTORY); }

std::filesystem::path module_location() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&module_location), &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("dladdr failed");
    }
    std::error_code error;
    auto path = std::filesystem::weakly_canonical(info.dli_fname, error);
    return error ? std::filesystem::path(info.dli_fname) : path;
}

}  // namespace pelio::xdma::platform

#endif  // _WIN32
