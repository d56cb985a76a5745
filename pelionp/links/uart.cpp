#include "pelionp/links/uart.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t OFFSET_RX_EMPTY = UART_RX_EMPTY - UART_BASE;
constexpr uint32_t OFFSET_TX_ENABLE = UART_TX_ENABLE - UART_BASE;
constexpr uint32_t OFFSET_TX_EMPTY = UART_TX_EMPTY - UART_BASE;

constexpr auto TX_READY_TIMEOUT = 10ms;
constexpr auto TX_DRAIN_TIMEOUT = 50ms;
constexpr auto RECOVERY_TIMEOUT = 10ms;
constexpr auto RX_BYTE_TIMEOUT = 10ms;

std::string length_error() { return "length greater than 255 bytes is not supported"; }

std::string tx_timeout(std::chrono::milliseconds elapsed) {
    return fmt::format("UART transmit timeout waiting for TX FIFO empty after {}", elapsed);
}

// After a timeout the transmitter is released again and given a little time,
// so that the next transaction starts from a drained FIFO if at all possible.
void recover_transmitter(pelio::BasicDevice& device) {
    set_tx_enable(device, UART_BASE, true);
    (void)wait_tx_empty(device, UART_BASE, RECOVERY_TIMEOUT);
}

void select_port(pelio::BasicDevice& device, int port) {
    device.set_register_sync(UART_PORT_SELECT, static_cast<uint32_t>(port), 0x3);
}

// Empties the receive FIFO of the port already selected.
std::size_t discard_selected(pelio::BasicDevice& device, int port);

}  // namespace

UART::UART(pelio::BasicDevice& device)
    : device_(&device),
      mutex_(std::make_unique<std::mutex>()),
      port_mutexes_(std::make_unique<std::array<std::recursive_mutex, 4>>()) {}

UART UART::init(pelio::BasicDevice& device) {
    uart_init(device);
    return UART(device);
}

std::unique_lock<std::mutex> UART::lock_transaction() { return std::unique_lock(*mutex_); }

std::unique_lock<std::recursive_mutex> UART::lock_port(int port) {
    return std::unique_lock((*port_mutexes_)[static_cast<std::size_t>(port) & 0x3]);
}

std::expected<std::size_t, std::string> UART::send(int port, std::span<const uint8_t> bytes) {
    if (bytes.size() > UART_MAX_FRAME) return std::unexpected(length_error());
    auto& device = *device_;

    if (auto [ready, elapsed] = wait_tx_empty(device, UART_BASE, TX_READY_TIMEOUT); !ready) {
        recover_transmitter(device);
        return std::unexpected(tx_timeout(elapsed));
    }
    select_port(device, port);
    set_tx_enable(device, UART_BASE, false);
    for (const uint8_t byte : bytes) device.set_register_sync(UART_DATA, byte, 0xFFFFFFFF);
    set_tx_enable(device, UART_BASE, true);

    if (auto [drained, elapsed] = wait_tx_empty(device, UART_BASE, TX_DRAIN_TIMEOUT); !drained) {
        recover_transmitter(device);
        (void)discard_selected(device, port);
        return std::unexpected(tx_timeout(elapsed));
    }
    return bytes.size();
}

std::expected<std::vector<uint8_t>, std::string> UART::recv(int port, std::size_t length) {
    if (length > UART_MAX_FRAME) return std::unexpected(length_error());
    auto& device = *device_;

    select_port(device, port);
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        if (auto [available, elapsed] = wait_rx_available(device, UART_BASE, RX_BYTE_TIMEOUT); !available) {
            recover_transmitter(device);
            (void)discard_selected(device, port);
            return std::unexpected(
                fmt::format("UART receive timeout [{}] waiting for RX FIFO available after {}", i, elapsed));
        }
        // A failed read of the data register yields 0, as the board's own
        // driver has always treated it.
        bytes[i] = static_cast<uint8_t>(device.get_register_sync(UART_DATA).value_or(0) & 0xFF);
    }
    return bytes;
}

std::size_t UART::discard_stale(int port) {
    select_port(*device_, port);
    return discard_selected(*device_, port);
}

namespace {

std::size_t discard_selected(pelio::BasicDevice& device, int port) {
    std::size_t discarded = 0;
    // NB: a failed status read stops here (wait_rx_available would count it
    // as data): nothing is known to be waiting.
    while (discarded < UART_MAX_STALE) {
        const auto empty = device.get_register_sync(UART_RX_EMPTY);
        if (!empty || *empty != 0) break;
        (void)device.get_register_sync(UART_DATA);
        ++discarded;
    }
    if (discarded > 0) spdlog::debug("UART port {}: discarded {} stale receive bytes", port, discarded);
    return discarded;
}

}  // namespace

void uart_init(pelio::BasicDevice& device) {
    set_tx_enable(device, UART_BASE, true);
    (void)wait_tx_empty(device, UART_BASE, TX_READY_TIMEOUT);
}

void set_tx_enable(pelio::BasicDevice& device, uint32_t base, bool enable) {
    device.set_register_sync(base + OFFSET_TX_ENABLE, enable ? 1U : 0U, 0x1);
}

WaitResult wait_tx_empty(pelio::BasicDevice& device, uint32_t base, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            const auto value = device.get_register_sync(base + OFFSET_TX_EMPTY);
            return value && *value == 1;
        },
        timeout, 1ms);
}

WaitResult wait_rx_available(pelio::BasicDevice& device, uint32_t base, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            const auto value = device.get_register_sync(base + OFFSET_RX_EMPTY);
            return !value || *value == 0;
        },
        timeout, 1ms);
}

}  // namespace pelionp
