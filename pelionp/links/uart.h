#pragma once
// The board UART that carries every I2C frame to the headstage ports.
//
// The UART is a block of 32-bit registers (one register access per byte).
// `UART` moves bytes only; framing and acknowledgement belong to PortIIC.
//
// Threading: `send` and `recv` take no lock. One UART serves all ports of a
// device; whoever composes a transaction of several sends and receives holds
// `lock_transaction()` for its whole length. The mutex is not recursive: a
// thread holding it must not call PortIIC, which takes it again.
// Each port also has a recursive sequence lock (`lock_port`), which PortIIC
// takes around every transaction and callers take around a sequence that
// must not be interleaved with other transactions on the port (an EEPROM
// access in the serializer's register mode). Lock order: the port's lock
// before the transaction lock; never take a port lock while holding the
// transaction lock.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pelio/basic_device.h"
#include "pelionp/export.h"

namespace pelionp {

inline constexpr uint32_t UART_BASE = 0x1400;
inline constexpr uint32_t UART_DATA = 0x140C;         ///< write: TX FIFO input; read: RX FIFO output (low 8 bits)
inline constexpr uint32_t UART_RX_EMPTY = 0x1414;     ///< non-zero while the RX FIFO is empty
inline constexpr uint32_t UART_TX_ENABLE = 0x1418;    ///< bit 0: 0 holds the TX FIFO, 1 lets it drain
inline constexpr uint32_t UART_TX_EMPTY = 0x1428;     ///< exactly 1 once everything is sent
inline constexpr uint32_t UART_PORT_SELECT = 0x1430;  ///< bits 1:0: port of the next send/recv

/// Longest frame in either direction.
inline constexpr std::size_t UART_MAX_FRAME = 255;
/// Most stale bytes one `discard_stale` reads: more than any reply.
inline constexpr std::size_t UART_MAX_STALE = UART_MAX_FRAME + 1;

/// (condition met, time spent waiting, truncated to whole milliseconds)
using WaitResult = std::tuple<bool, std::chrono::milliseconds>;

class PELIONP_API UART {
public:
    /// Releases the transmitter and gives the FIFO 10 ms to drain. Never
    /// fails; the outcome of the wait is ignored.
    static UART init(pelio::BasicDevice& device);

    UART(UART&&) noexcept = default;
    UART& operator=(UART&&) noexcept = default;
    UART(const UART&) = delete;
    UART& operator=(const UART&) = delete;
    ~UART() = default;

    /// Loads the bytes with the transmitter held, releases it and waits up
    /// to 50 ms for the FIFO to drain. After a timeout the receive FIFO is
    /// emptied too (`discard_stale`). More than 255 bytes fail before any
    /// register is touched. Returns the byte count.
    std::expected<std::size_t, std::string> send(int port, std::span<const uint8_t> bytes);
    /// Receives exactly `length` bytes, giving each byte 10 ms. A timeout
    /// drops the partial data; its message names the index of the missing
    /// byte; whatever arrived late by then is discarded (`discard_stale`), so
    /// it cannot pass for the next reply. More than 255 bytes fail before any
    /// register is touched.
    std::expected<std::vector<uint8_t>, std::string> recv(int port, std::size_t length);
    /// Empties the port's receive FIFO of bytes nobody waits for (a reply,
    /// or its tail, that came after its receive timed out), reading at most
    /// 256 bytes, and returns how many it discarded (logged at debug).
    /// `send` and `recv` do this after a timeout; PortIIC before each frame.
    std::size_t discard_stale(int port);
    /// Serialises a whole transaction (frame, reply, pause) across threads.
    [[nodiscard]] std::unique_lock<std::mutex> lock_transaction();
    /// Keeps other threads' transactions off one port (bits 1:0 of `port`)
    /// while held; recursive, so the holder's own transactions go through.
    [[nodiscard]] std::unique_lock<std::recursive_mutex> lock_port(int port);

    [[nodiscard]] pelio::BasicDevice& device() const noexcept { return *device_; }

private:
    explicit UART(pelio::BasicDevice& device);

    pelio::BasicDevice* device_;  // not owned; outlives the UART
    std::unique_ptr<std::mutex> mutex_;
    std::unique_ptr<std::array<std::recursive_mutex, 4>> port_mutexes_;
};

/// The transmitter preparation of UART::init without a UART object.
PELIONP_API void uart_init(pelio::BasicDevice& device);
/// Writes base + 0x18 bit 0.
PELIONP_API void set_tx_enable(pelio::BasicDevice& device, uint32_t base, bool enable);

/// Polls `predicate` until it holds or more than `timeout` has passed,
/// sleeping `interval` between polls (busy-polls below 1 ms). The predicate
/// runs once before the first time check, so a condition that already holds
/// returns (true, 0ms) even with a zero timeout.
template <typename Predicate>
WaitResult wait_until(Predicate&& predicate, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds interval) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start); };
    for (;;) {
        if (predicate()) return {true, elapsed()};
        // NB: compared at clock resolution, reported truncated to ms.
        if (Clock::now() - start > timeout) return {false, elapsed()};
        if (interval >= std::chrono::milliseconds(1)) std::this_thread::sleep_for(interval);
    }
}

/// Waits for base + 0x28 to read exactly 1; a failed read counts as not empty.
PELIONP_API WaitResult wait_tx_empty(pelio::BasicDevice& device, uint32_t base, std::chrono::milliseconds timeout);
/// Waits for base + 0x14 to read 0; a failed read counts as data available.
PELIONP_API WaitResult wait_rx_available(pelio::BasicDevice& device, uint32_t base,
                                         std::chrono::milliseconds timeout);

}  // namespace pelionp
