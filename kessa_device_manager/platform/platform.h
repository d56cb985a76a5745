#pragma once
// The XDMA driver seen through one small interface, so that everything above
// it is portable C++.
//
// A `Backend` finds devices and opens them; a `Link` is one opened device:
// its user BAR mapped into the process and the two DMA channels. The Linux
// backend talks to the driver's character devices, the Windows backend to
// its device interface; tests run the Linux backend over ordinary files.
//
// Threading: `Backend` operations may be called from any thread. A `Link`
// allows concurrent register loads and stores (each one 32-bit access) and
// one reader and one writer of the DMA channels at a time; its owner
// guarantees no call is in flight when it is destroyed.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>
#include <condition_variable>

namespace pelio::xdma::platform {

/// Result code of a read that returned because an interrupt it watched was
/// raised; no platform error code is negative.
inline constexpr int READ_INTERRUPTED = -1;
/// Result code of a read whose buffer could not be allocated.
#ifdef _WIN32
inline constexpr int READ_OUT_OF_MEMORY = 8;  // ERROR_NOT_ENOUGH_MEMORY
#else
inline constexpr int READ_OUT_OF_MEMORY = 12;  // ENOMEM
#endif

/// Whether raising a ReadInterrupt ends a read already waiting in the
/// driver (Linux: the driver's wait is interruptible by a signal). Where it
/// does not (Windows), the board must end the read (see
/// Handler::end_read_in_flight).
#ifdef _WIN32
inline constexpr bool INTERRUPT_ENDS_DRIVER_READ = false;
#else
inline constexpr bool INTERRUPT_ENDS_DRIVER_READ = true;
#endif

/// Raised, it makes every card-to-host read that watches it return
/// READ_INTERRUPTED, one already waiting in the driver included, until
/// lowered. On Linux the reading thread is signalled (the driver's wait is
/// interruptible: the signal ends the transfer; bytes not yet moved stay in
/// the card), again every millisecond until it has left the read, so
/// `raise` returns once no watching read is in flight. On Windows a read
/// waiting in the driver cannot be ended this way: `raise` is seen before
/// the read starts, and a read in flight ends when the board ends the
/// transfer (`try_cancel_readers` asks the system as well).
/// Threading: raise, lower and raised may be called from any thread, but
/// not from a thread inside a read that watches the interrupt.
class ReadInterrupt {
public:
    /// Throws std::system_error when the platform cannot give what it needs.
    ReadInterrupt();
    ~ReadInterrupt();
    ReadInterrupt(const ReadInterrupt&) = delete;
    ReadInterrupt& operator=(const ReadInterrupt&) = delete;

    void raise() noexcept;
    void lower() noexcept;
    [[nodiscard]] bool raised() const noexcept { return raised_; }

    /// A read that watches this interrupt is in flight.
    [[nodiscard]] bool reader_in_flight();
    /// Waits up to `patience` until no watching read is in flight; true
    /// once none is.
    [[nodiscard]] bool wait_until_no_reader_for(std::chrono::milliseconds patience);
    /// Windows: CancelSynchronousIo on each thread in a watching read (the
    /// public driver's read is not cancelable and ignores it; other builds
    /// may honour it, the read then fails and counts as interrupted).
    /// Linux: nothing (`raise` has ended the reads).
    void try_cancel_readers() noexcept;

private:
    friend class WatchedRead;
    std::mutex mutex_;  // orders the flag and the readers
    std::condition_variable left_;
    std::atomic<bool> raised_{false};
    // Linux: pthread_t of each reader; Windows: its thread id.
    std::vector<std::thread::native_handle_type> readers_;
};

/// What a card-to-host read waits for besides data.
struct ReadWait {
    /// Interrupts the read watches; empty slots are skipped.
    std::array<const ReadInterrupt*, 2> interrupts{};
};

/// The calling thread as a reader watching the interrupts of `wait`, for
/// this object's lifetime: a backend wraps the driver's read call in one.
class WatchedRead {
public:
    explicit WatchedRead(const ReadWait& wait) noexcept;
    ~WatchedRead();
    WatchedRead(const WatchedRead&) = delete;
    WatchedRead& operator=(const WatchedRead&) = delete;
    /// An interrupt was raised already: the read must not start.
    [[nodiscard]] bool interrupted() const noexcept;

private:
    std::array<ReadInterrupt*, 2> registered_{};
    bool interrupted_ = false;
};

/// One opened device. Register offsets are byte offsets into the user BAR;
/// the caller checks alignment and bounds (the driver does not).
class Link {
public:
    virtual ~Link() = default;

    /// Length of the mapped user BAR in bytes.
    [[nodiscard]] virtual std::size_t register_space_bytes() const = 0;
    [[nodiscard]] virtual uint32_t load(std::size_t offset) const = 0;
    virtual void store(std::size_t offset, uint32_t value) = 0;

    /// One card-to-host transfer into `buffer`; the byte count or the
    /// platform's error code (errno on Linux, a Win32 code on Windows), or
    /// READ_INTERRUPTED. The read waits for data, the driver's timeout or a
    /// raised interrupt of `wait` (Linux; see ReadInterrupt), whichever
    /// comes first; a read that fails while an interrupt is raised is
    /// READ_INTERRUPTED whatever the driver answered (it reports a signal as
    /// its timeout). NB: the driver's c2h node has no poll method (it reads
    /// as always ready), so nothing can wait for it but the read itself: a
    /// caller that must not wait looks at the level register first.
    virtual std::expected<std::size_t, int> read(std::span<uint8_t> buffer, const ReadWait& wait) = 0;
    /// One host-to-card transfer; the byte count or the platform's error code.
    virtual std::expected<std::size_t, int> write(std::span<const uint8_t> bytes) = 0;
    /// The system's text of an error code `read` or `write` returned
    /// (strerror's on Linux, FormatMessage's on Windows).
    [[nodiscard]] virtual std::string error_text(int code) const = 0;
};

/// Finds and opens devices.
class Backend {
public:
    virtual ~Backend() = default;

    /// Paths of the present devices in the driver's probe order. Throws
    /// std::runtime_error when the enumeration itself fails.
    [[nodiscard]] virtual std::vector<std::string> list_devices() = 0;
    /// What identifies the board behind `path` across its departures (a
    /// reboot re-enumerates it, possibly under another path): its PCI
    /// address, when the system shows it. Empty: the path is all there is.
    [[nodiscard]] virtual std::optional<std::string> board_address(const std::string& path) = 0;
    /// Opens the three files of a device and maps its user BAR; the error
    /// names the step that failed.
    [[nodiscard]] virtual std::expected<std::unique_ptr<Link>, std::string> open(
        const std::string& path) = 0;
};

/// The backend of the platform this was built for, over the system's devices.
[[nodiscard]] std::shared_ptr<Backend> native_backend();

#ifndef _WIN32
/// Default directory of the driver's device nodes.
inline constexpr const char* DEFAULT_DEVICE_DIRECTORY = "/dev";
/// Default root of the kernel's device attributes.
inline constexpr const char* DEFAULT_SYSFS_ROOT = "/sys";
/// The Linux backend over the device nodes found in `directory`; BAR sizes
/// of nodes that are not plain files come from `sysfs_root`.
[[nodiscard]] std::shared_ptr<Backend> linux_backend(std::filesystem::path directory,
                                                     std::filesystem::path sysfs_root = DEFAULT_SYSFS_ROOT);
/// Size of the user BAR behind the node named `user_node_name` (xdmaN_user):
/// the first non-empty BAR that `sysfs_root`/class/xdma/NAME/device/resource
/// lists.
[[nodiscard]] std::expected<std::size_t, std::string> bar_size_from_sysfs(const std::filesystem::path& sysfs_root,
                                                                          const std::string& user_node_name);
#endif

/// Full path of the plug-in's own module file. Throws std::runtime_error.
[[nodiscard]] std::filesystem::path module_location();

/// Messages of the open steps, shared by the backends so both speak alike:
/// the fixed text and the code, then the system's text of the code.
enum class OpenStep { User, C2H, H2C };
[[nodiscard]] std::string open_failure(OpenStep step, int code, const std::string& text);
/// "CODE (TEXT)": a code in a message, followed by what the system calls it.
[[nodiscard]] std::string coded(long long code, const std::string& text);
[[nodiscard]] std::string map_failure(const std::string& reason);

}  // namespace pelio::xdma::platform
