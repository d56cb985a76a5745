// On Windows: the driver's side of the Win32 calls played over the stand-in
// files, so the stand-in boards run the real Windows backend. Enumeration
// lists the boards whose register file exists (in index order, as the Linux
// driver numbers them); "<board>\user", "\c2h_0" and "\h2c_0" open the files
// xdmaN_user, xdmaN_c2h_0 and xdmaN_h2c_0; the BAR-map ioctl maps the
// register file. File, heap and text calls are the system's own, but for
// the ReadFile of a blocking board's c2h channel, which plays the public
// driver's: a wait no cancel ends (CancelIoEx and CancelSynchronousIo find
// no I/O to cancel), ending at data, at the board's end of packet or at
// the driver's ring timeout, the last two with success and 0 bytes.
#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "kessa_device_manager/platform/win32.h"
#include "tests/kessa_device_manager/stand_in_board.h"

namespace pelio::test {
namespace {

namespace win32 = xdma::platform::win32;
using Clock = std::chrono::steady_clock;

/// The blocking channels, by their c2h file's path.
struct Channel {
    std::chrono::milliseconds ring_timeout{10'000};
    uint64_t packets_ended = 0;
    std::size_t waiting = 0;
    std::vector<ReadEnd> ends;
};

struct Channels {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Channel> by_file;
};

Channels& channels() {
    static Channels c;
    return c;
}

std::string c2h_file(const std::string& device_path) { return device_path + "_c2h_0"; }

/// Bytes of `file` after its read position.
bool bytes_waiting(HANDLE file) {
    LARGE_INTEGER size{}, position{}, zero{};
    if (!::GetFileSizeEx(file, &size) || !::SetFilePointerEx(file, zero, &position, FILE_CURRENT)) return false;
    return size.QuadPart > position.QuadPart;
}

/// The driver's read of a blocking channel: waits for data, an end of
/// packet or the ring timeout. Empty: `file` is no blocking channel.
std::optional<ReadEnd> wait_like_the_driver(const std::string& file, HANDLE handle) {
    auto& c = channels();
    std::unique_lock lock(c.mutex);
    auto it = c.by_file.find(file);
    if (it == c.by_file.end()) return std::nullopt;
    const auto deadline = Clock::now() + it->second.ring_timeout;
    const uint64_t packet = it->second.packets_ended;
    ++it->second.waiting;
    c.changed.notify_all();
    ReadEnd end{};
    for (;;) {
        // Appended bytes are not announced: looked for every millisecond.
        if (bytes_waiting(handle)) {
            end = ReadEnd::Data;
            break;
        }
        if (it->second.packets_ended != packet) {
            end = ReadEnd::EndOfPacket;
            break;
        }
        if (Clock::now() >= deadline) {
            end = ReadEnd::RingTimeout;
            break;
        }
        c.changed.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(1)));
    }
    --it->second.waiting;
    it->second.ends.push_back(end);
    c.changed.notify_all();
    return end;
}

class StandInDriver final : public win32::Api {
public:
    explicit StandInDriver(std::filesystem::path directory)
        : directory_(std::move(directory)), system_(win32::system_api()) {}

    win32::Handle get_class_devs() override {
        std::vector<std::pair<unsigned, std::u16string>> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
            const auto name = entry.path().filename().string();
            constexpr std::string_view prefix = "xdma", suffix = "_user";
            if (!name.starts_with(prefix) || !name.ends_with(suffix)) continue;
            unsigned n = 0;
            const char* first = name.data() + prefix.size();
            const char* last = name.data() + name.size() - suffix.size();
            if (auto [end, ec] = std::from_chars(first, last, n); ec != std::errc{} || end != last) continue;
            found.emplace_back(n, (directory_ / ("xdma" + std::to_string(n))).u16string());
        }
        if (error) return win32::INVALID_HANDLE;
        std::ranges::sort(found);
        std::lock_guard lock(mutex_);
        const win32::Handle set = ++last_set_;
        auto& list = sets_[set];
        for (auto& [n, path] : found) list.paths.push_back(std::move(path));
        return set;
    }

    bool enum_device_interface(win32::Handle set, uint32_t index) override {
        std::lock_guard lock(mutex_);
        auto& list = sets_.at(set);
        if (index >= list.paths.size()) return false;
        list.current = index;
        return true;
    }

    bool interface_detail_size(win32::Handle set, uint32_t& required) override {
        std::lock_guard lock(mutex_);
        const auto& list = sets_.at(set);
        required = static_cast<uint32_t>(sizeof(uint32_t) + 2 * (list.paths[list.current].size() + 1));
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }

    void* heap_alloc(std::size_t bytes) override { return system_->heap_alloc(bytes); }
    void heap_free(void* memory) override { system_->heap_free(memory); }

    bool interface_detail(win32::Handle set, void* record, uint32_t size) override {
        std::lock_guard lock(mutex_);
        const auto& list = sets_.at(set);
        const auto& path = list.paths[list.current];
        if (size < sizeof(uint32_t) + 2 * (path.size() + 1)) return false;
        std::memcpy(static_cast<char*>(record) + sizeof(uint32_t), path.c_str(), 2 * (path.size() + 1));
        return true;
    }

    std::u16string detail_path(const void* record) override {
        return reinterpret_cast<const char16_t*>(static_cast<const char*>(record) + sizeof(uint32_t));
    }

    void destroy_device_info_list(win32::Handle set) override {
        std::lock_guard lock(mutex_);
        sets_.erase(set);
    }

    win32::Error last_error() override { return system_->last_error(); }
    std::string error_text(win32::Error code) override { return system_->error_text(code); }
    std::optional<std::string> to_utf8(std::u16string_view wide) override { return system_->to_utf8(wide); }
    std::optional<std::u16string> to_wide(std::string_view utf8) override { return system_->to_wide(utf8); }

    win32::Handle create_file(const std::u16string& path, uint32_t access, uint32_t, uint32_t disposition,
                              uint32_t attributes) override {
        // "<board>\user" is the file "<board>_user". The stand-in shares its
        // files: the test pokes registers while the backend holds them.
        std::u16string file = path;
        if (const auto slash = file.find_last_of(u'\\'); slash != std::u16string::npos) file[slash] = u'_';
        const auto handle = system_->create_file(file, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                 disposition, attributes);
        if (handle != win32::INVALID_HANDLE && path.ends_with(u"\\c2h_0")) {
            std::lock_guard lock(mutex_);
            c2h_files_[handle] = std::filesystem::path(file).string();
        }
        return handle;
    }

    bool device_io_control(win32::Handle handle, uint32_t code, std::span<std::byte> out,
                           uint32_t& returned) override {
        if (code != win32::MAP_BAR_IOCTL || out.size() < 16) {
            ::SetLastError(ERROR_INVALID_FUNCTION);
            return false;
        }
        const auto file = reinterpret_cast<HANDLE>(handle);
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file, &size)) return false;
        HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        if (mapping == nullptr) return false;  // an empty file cannot be mapped
        void* view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        if (view == nullptr) {
            ::CloseHandle(mapping);
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            views_[handle] = {mapping, view};
        }
        const uint64_t bar[2] = {reinterpret_cast<uintptr_t>(view), static_cast<uint64_t>(size.QuadPart)};
        std::memcpy(out.data(), bar, sizeof bar);
        returned = sizeof bar;
        return true;
    }

    bool read_file(win32::Handle handle, std::span<uint8_t> buffer, uint32_t& read) override {
        std::string file;
        {
            std::lock_guard lock(mutex_);
            if (auto it = c2h_files_.find(handle); it != c2h_files_.end()) file = it->second;
        }
        if (!file.empty()) {
            const auto end = wait_like_the_driver(file, reinterpret_cast<HANDLE>(handle));
            if (end && *end != ReadEnd::Data) {
                read = 0;
                return true;
            }
        }
        return system_->read_file(handle, buffer, read);
    }
    bool write_file(win32::Handle handle, std::span<const uint8_t> bytes, uint32_t& written) override {
        return system_->write_file(handle, bytes, written);
    }

    void close_handle(win32::Handle handle) override {
        {
            std::lock_guard lock(mutex_);
            if (auto it = views_.find(handle); it != views_.end()) {
                ::UnmapViewOfFile(it->second.view);
                ::CloseHandle(it->second.mapping);
                views_.erase(it);
            }
            c2h_files_.erase(handle);
        }
        system_->close_handle(handle);
    }

private:
    struct InterfaceList {
        std::vector<std::u16string> paths;
        std::size_t current = 0;
    };
    struct View {
        HANDLE mapping;
        void* view;
    };

    std::filesystem::path directory_;
    std::shared_ptr<win32::Api> system_;
    std::mutex mutex_;
    win32::Handle last_set_ = 0;
    std::map<win32::Handle, InterfaceList> sets_;
    std::map<win32::Handle, View> views_;
    std::map<win32::Handle, std::string> c2h_files_;  // the c2h handles, by the file they opened
};

}  // namespace

void register_blocking_channel(const std::string& device_path) {
    auto& c = channels();
    std::lock_guard lock(c.mutex);
    c.by_file[c2h_file(device_path)] = Channel{};
}

void forget_blocking_channel(const std::string& device_path) {
    auto& c = channels();
    std::unique_lock lock(c.mutex);
    // A read still waiting keeps its entry until it has ended.
    c.changed.wait(lock, [&] {
        const auto it = c.by_file.find(c2h_file(device_path));
        return it == c.by_file.end() || it->second.waiting == 0;
    });
    c.by_file.erase(c2h_file(device_path));
}

void set_ring_timeout(const std::string& device_path, std::chrono::milliseconds timeout) {
    auto& c = channels();
    std::lock_guard lock(c.mutex);
    c.by_file.at(c2h_file(device_path)).ring_timeout = timeout;
}

void end_packet(const std::string& device_path) {
    auto& c = channels();
    {
        std::lock_guard lock(c.mutex);
        const auto it = c.by_file.find(c2h_file(device_path));
        if (it == c.by_file.end()) return;
        ++it->second.packets_ended;
    }
    c.changed.notify_all();
}

std::vector<ReadEnd> read_ends(const std::string& device_path) {
    auto& c = channels();
    std::lock_guard lock(c.mutex);
    return c.by_file.at(c2h_file(device_path)).ends;
}

std::size_t reads_waiting(const std::string& device_path) {
    auto& c = channels();
    std::lock_guard lock(c.mutex);
    return c.by_file.at(c2h_file(device_path)).waiting;
}

std::shared_ptr<xdma::platform::Backend> stand_in_backend(const std::filesystem::path& directory) {
    return win32::windows_backend(std::make_shared<StandInDriver>(directory));
}

}  // namespace pelio::test

#endif  // _WIN32
