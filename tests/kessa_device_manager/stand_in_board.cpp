#include "tests/kessa_device_manager/stand_in_board.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <iterator>
#include <random>
#include <stdexcept>

#include <fmt/format.h>

#include "tests/kessa_device_manager/driver_manners.h"

namespace pelio::test {
namespace {

// NB: plain file streams on every platform. Each write reaches the file
// before the stream closes, so the backend's mapping of the register file
// sees it (the page cache on Linux, the file's section on Windows).
std::fstream open_stream(const std::filesystem::path& path, std::ios::openmode mode) {
    std::fstream file(path, mode | std::ios::binary);
    if (!file) throw std::runtime_error(fmt::format("cannot open stand-in {}", path.string()));
    return file;
}

void write_word(std::fstream& file, uint32_t address, uint32_t value) {
    file.seekp(address);
    file.write(reinterpret_cast<const char*>(&value), sizeof value);
    file.flush();
    if (!file) throw std::runtime_error(fmt::format("cannot write stand-in register {:#x}", address));
}

}  // namespace

#ifndef _WIN32
/// Feeds a named pipe from its own thread, so a test never blocks on a full
/// pipe; the thread waits on the pipe and on a wake-up descriptor.
class StandInBoard::Feeder {
public:
    Feeder() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this] { run(); }) {}
    ~Feeder() {
        {
            std::scoped_lock lock(mutex_);
            stopping_ = true;
        }
        poke();
        thread_.join();
        close_pipe();
        ::close(wake_);
    }

    /// Starts feeding the pipe at `path` (a fresh node: what was queued for the old one is gone).
    void attach(const std::filesystem::path& path) {
        std::scoped_lock lock(mutex_);
        close_pipe();
        pending_.clear();
        forever_.clear();
        fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error(fmt::format("cannot open stand-in pipe {}", path.string()));
        poke();
    }
    void detach() {
        std::scoped_lock lock(mutex_);
        close_pipe();
        pending_.clear();
        forever_.clear();
        poke();
    }
    void append(std::span<const uint8_t> bytes) {
        {
            std::scoped_lock lock(mutex_);
            pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        }
        poke();
    }
    void forever(std::vector<uint8_t> pattern) {
        {
            std::scoped_lock lock(mutex_);
            forever_ = std::move(pattern);
        }
        poke();
    }
    [[nodiscard]] std::size_t fed() const {
        std::scoped_lock lock(mutex_);
        return fed_;
    }

private:
    void poke() {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
        changed_.notify_all();
    }
    void close_pipe() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || (fd_ >= 0 && (!pending_.empty() || !forever_.empty())); });
            if (stopping_) return;
            if (pending_.empty()) pending_.insert(pending_.end(), forever_.begin(), forever_.end());
            const std::vector<uint8_t> chunk(pending_.begin(),
                                             pending_.begin() + std::min<std::size_t>(pending_.size(), 65536));
            const ssize_t n = ::write(fd_, chunk.data(), chunk.size());
            if (n > 0) {
                pending_.erase(pending_.begin(), pending_.begin() + n);
                fed_ += static_cast<std::size_t>(n);
                continue;
            }
            // The pipe is full: wait until the reader makes room or something changes.
            pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
            lock.unlock();
            ::poll(fds, 2, -1);
            uint64_t count = 0;
            [[maybe_unused]] const auto r = ::read(wake_, &count, sizeof count);
            lock.lock();
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<uint8_t> pending_;
    std::vector<uint8_t> forever_;
    std::size_t fed_ = 0;
    int fd_ = -1;
    bool stopping_ = false;
    int wake_;
    std::thread thread_;  // last: starts once the members above are ready
};
#else
class StandInBoard::Feeder {};
#endif

StandInBoard::StandInBoard(std::filesystem::path directory, unsigned index, std::size_t register_bytes, C2h c2h)
    : directory_(std::move(directory)), index_(index), register_bytes_(register_bytes), c2h_(c2h) {
#ifndef _WIN32
    if (c2h_ == C2h::Blocking) feeder_ = std::make_unique<Feeder>();
#else
    if (c2h_ == C2h::Blocking) register_blocking_channel(path());
#endif
}

StandInBoard::~StandInBoard() {
#ifdef _WIN32
    if (c2h_ == C2h::Blocking) forget_blocking_channel(path());
#endif
}

std::filesystem::path StandInBoard::node(const char* suffix) const {
    return directory_ / fmt::format("xdma{}{}", index_, suffix);
}

std::string StandInBoard::path() const { return (directory_ / fmt::format("xdma{}", index_)).string(); }

void StandInBoard::create(const std::string& status_text) const {
#ifndef _WIN32
    if (feeder_) {
        std::filesystem::remove(node("_c2h_0"));
        if (::mkfifo(node("_c2h_0").c_str(), 0600) != 0) throw std::runtime_error("cannot make the stand-in pipe");
        register_unpollable_node(node("_c2h_0"));
        feeder_->attach(node("_c2h_0"));
    } else {
        open_stream(node("_c2h_0"), std::ios::out | std::ios::trunc);
    }
#else
    open_stream(node("_c2h_0"), std::ios::out | std::ios::trunc);
#endif
    open_stream(node("_h2c_0"), std::ios::out | std::ios::trunc);
    const auto staged = node("_user.staged");
    {
        // The whole register file in one write: one character a register,
        // little-endian, the rest zero.
        std::vector<char> image(register_bytes_, 0);
        for (std::size_t i = 0; i < status_text.size() && i < 256 && 4 * i < image.size(); ++i) {
            image[4 * i] = status_text[i];
        }
        auto user = open_stream(staged, std::ios::out | std::ios::trunc);
        user.write(image.data(), static_cast<std::streamsize>(image.size()));
        user.flush();
        if (!user) throw std::runtime_error(fmt::format("cannot write stand-in {}", staged.string()));
    }
    std::filesystem::rename(staged, node("_user"));
}

void StandInBoard::remove() const {
#ifndef _WIN32
    if (feeder_) {
        feeder_->detach();
        forget_unpollable_node(node("_c2h_0"));
    }
#endif
    for (const char* suffix : {"_user", "_c2h_0", "_h2c_0"}) std::filesystem::remove(node(suffix));
}

void StandInBoard::poke(uint32_t address, uint32_t value) const {
    auto user = open_stream(node("_user"), std::ios::in | std::ios::out);
    write_word(user, address, value);
}

uint32_t StandInBoard::peek(uint32_t address) const {
    auto user = open_stream(node("_user"), std::ios::in);
    uint32_t value = 0;
    user.seekg(address);
    user.read(reinterpret_cast<char*>(&value), sizeof value);
    if (user.gcount() != sizeof value) {
        throw std::runtime_error(fmt::format("cannot peek stand-in register {:#x}", address));
    }
    return value;
}

void StandInBoard::set_status_text(const std::string& text) const {
    if (text.size() > 256) throw std::invalid_argument("status text longer than 256 characters");
    auto user = open_stream(node("_user"), std::ios::in | std::ios::out);
    for (uint32_t i = 0; i < 256; ++i) write_word(user, 4 * i, i < text.size() ? static_cast<uint8_t>(text[i]) : 0u);
}

void StandInBoard::append_stream(std::span<const uint8_t> bytes) const {
#ifndef _WIN32
    if (feeder_) return feeder_->append(bytes);
#endif
    auto c2h = open_stream(node("_c2h_0"), std::ios::out | std::ios::app);
    c2h.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    c2h.flush();
    if (!c2h) throw std::runtime_error("cannot append to stand-in stream");
}

void StandInBoard::stream_forever(std::vector<uint8_t> pattern) const {
#ifndef _WIN32
    if (feeder_) {
        // NB: a card that never stops always has data waiting, whether or
        // not the feeding thread has just been scheduled: the level register
        // says so (the backend shows the larger of this and the pipe's bytes).
        poke(0x1498, pattern.empty() ? 0 : 0x80000000u | static_cast<uint32_t>(pattern.size()));
        return feeder_->forever(std::move(pattern));
    }
#endif
    (void)pattern;
    throw std::logic_error("only a blocking stand-in streams forever on Linux");
}

void StandInBoard::stop_streaming() const { stream_forever({}); }

std::size_t StandInBoard::fed() const {
#ifndef _WIN32
    if (feeder_) return feeder_->fed();
#endif
    return 0;
}

std::vector<uint8_t> StandInBoard::written() const {
    std::ifstream in(node("_h2c_0"), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

StandInDirectory::StandInDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() / fmt::format("kessa-stand-in-{:08x}", random());
        if (std::filesystem::create_directory(candidate)) {
            directory_ = std::move(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a stand-in directory");
}

StandInDirectory::~StandInDirectory() {
    std::error_code ignored;  // best effort: a leftover temp folder is harmless
    std::filesystem::remove_all(directory_, ignored);
}

StandInBoard& StandInDirectory::add(unsigned index, std::size_t register_bytes, C2h c2h) {
    auto& board = boards_[index];
    board = std::make_unique<StandInBoard>(directory_, index, register_bytes, c2h);
    board->create();
    return *board;
}

#ifndef _WIN32
std::shared_ptr<xdma::platform::Backend> stand_in_backend(const std::filesystem::path& directory) {
    return xdma::platform::linux_backend(directory);
}
#endif

std::string current_status_text(const std::string& mode, const std::string& build) {
    return fmt::format("Git: 1.4.2 - g1234abc\nBuild: {}\nDate: 2025-08-01\nTarget: {}\nAPI: 1\n", build, mode);
}

}  // namespace pelio::test
