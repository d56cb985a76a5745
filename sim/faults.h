#pragma once
// Fault knobs of the simulated board. Set them through the Board
// (`Board::nack`, `Board::set_uart_faults`, `Board::unplug`) so the change is
// made under the board's lock; see sim/README.md for what each one models.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelionp::sim {

/// Makes a bus address stop acknowledging. Applies on one port to the
/// transactions that match; every match with a `count` uses one up.
struct NackRule {
    uint8_t address = 0;                ///< 8-bit address, bit 0 ignored
    std::optional<uint8_t> reg;         ///< only this register (any when empty)
    bool reads = true;                  ///< refuse reads
    bool writes = true;                 ///< refuse writes
    std::size_t after = 0;              ///< let this many matches through first
    std::optional<std::size_t> count;   ///< then refuse this many times and answer again; forever when empty

    /// Builders: `NackRule::chip(0x80).at(0x04).writes_only().after(2).times(5)`.
    static NackRule chip(uint8_t address) {
        NackRule rule;
        rule.address = address;
        return rule;
    }
    NackRule at(uint8_t r) const { return with([&](NackRule& n) { n.reg = r; }); }
    NackRule reads_only() const { return with([](NackRule& n) { n.writes = false; }); }
    NackRule writes_only() const { return with([](NackRule& n) { n.reads = false; }); }
    NackRule after_matches(std::size_t n) const { return with([&](NackRule& r) { r.after = n; }); }
    NackRule times(std::size_t n) const { return with([&](NackRule& r) { r.count = n; }); }

    bool matches(uint8_t addr, std::optional<uint8_t> r, bool is_read) const {
        if ((addr & 0xFE) != (address & 0xFE)) return false;
        if (reg && r != reg) return false;
        return is_read ? reads : writes;
    }

private:
    template <typename F>
    NackRule with(F&& change) const {
        NackRule copy = *this;
        change(copy);
        return copy;
    }
};

/// A read that returns wrong bytes (a glitch on the bus, a chip answering
/// late): the next `count` reads of `reg` at `address` on one port are
/// acknowledged but every byte they return is `value`.
struct ReadGlitch {
    uint8_t address = 0;    ///< 8-bit address, bit 0 ignored
    uint8_t reg = 0;
    uint8_t value = 0;
    std::size_t count = 1;
};

/// Where the bytes of a late reply land in the port's RX FIFO.
enum class LateLanding {
    /// At the next write of TX_ENABLE: the transmitter re-release that
    /// follows a receive timeout, or the next frame, whichever comes first.
    next_tx_enable,
    /// Only when the test calls `Board::land_late_replies()`: at any moment
    /// it chooses, e.g. between two transactions, after the library's own
    /// recovery has already emptied the FIFO.
    on_request,
};

/// A reply, or its tail, that arrives after the library stopped waiting for
/// it. The late bytes sit in front of the next transaction's reply unless
/// the library empties the FIFO first.
struct LateReply {
    std::size_t on_time = 0;  ///< bytes of each late reply that still arrive at once (0: none)
    std::size_t skip = 0;     ///< replies that arrive whole before the first late one
    std::size_t count = 1;    ///< replies that arrive late, then replies are on time again
    LateLanding lands = LateLanding::next_tx_enable;
};

/// UART faults.
struct UartFaults {
    /// The transmitter never drains: TX_EMPTY reads 0 and released frames
    /// are lost on the line.
    bool tx_stuck = false;
    /// The next this many frames leave the transmitter late: not when
    /// TX_ENABLE releases them, but at the following write of TX_ENABLE (the
    /// library's recovery after its drain wait); TX_EMPTY reads 0 meanwhile.
    /// Their replies then come after the library gave up on the frame.
    std::size_t tx_late_frames = 0;
    /// The receiver delivers only this many bytes of each reply and loses the
    /// rest (0: it never delivers). Empty: replies arrive whole.
    std::optional<std::size_t> rx_bytes_per_reply;
    /// Replies that arrive after the library's timeout (see LateReply).
    std::optional<LateReply> late_reply;
};

/// Register-level faults of the device interface itself.
struct DeviceFaults {
    bool fail_fetch = false;  ///< fetch_registers fails, so every get_register_sync is empty
    bool fail_send = false;   ///< send_registers fails (the write itself still lands)
    /// The next this many start_read_stream calls throw std::runtime_error
    /// (a driver that fails loudly rather than returning no stream).
    std::size_t stream_start_throws = 0;
};

}  // namespace pelionp::sim
