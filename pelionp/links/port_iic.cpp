#include "pelionp/links/port_iic.h"

#include <array>
#include <chrono>
#include <thread>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

namespace pelionp {
namespace {

using namespace std::chrono_literals;

// The bridge needs the bus idle between transactions.
constexpr auto TRANSACTION_PAUSE = 500us;

std::string length_error() { return "length greater than 255 bytes is not supported"; }

// At least TRANSACTION_PAUSE. NB: MinGW's sleep_for hands whole milliseconds
// to the system and truncates, so a 500 us sleep there does not sleep at
// all; the clock decides when the pause is over, yielding meanwhile (a 1 ms
// sleep lasts up to a timer tick, 15.6 ms, on Windows: a probe's setup of a
// thousand transactions would take seconds).
void pause_after_transaction() {
    const auto until = std::chrono::steady_clock::now() + TRANSACTION_PAUSE;
    std::this_thread::sleep_for(TRANSACTION_PAUSE);
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

}  // namespace

std::expected<std::vector<uint8_t>, std::string> PortIIC::read(uint8_t device, uint8_t reg, std::size_t count) const {
    if (count > IIC_MAX_READ) return std::unexpected(length_error());
    const auto sequence = lock_sequence();
    auto lock = uart_->lock_transaction();
    return read_locked(device, reg, count);
}

std::expected<void, std::string> PortIIC::write(uint8_t device, uint8_t reg, std::vector<uint8_t> data) const {
    if (data.size() > IIC_MAX_WRITE) return std::unexpected(length_error());
    const auto sequence = lock_sequence();
    auto lock = uart_->lock_transaction();
    return write_locked(device, reg, data);
}

std::expected<void, std::string> PortIIC::set_bits(uint8_t device, uint8_t reg, uint8_t value, uint8_t mask) const {
    const auto sequence = lock_sequence();
    auto lock = uart_->lock_transaction();
    auto old = read_locked(device, reg, 1);
    if (!old) return std::unexpected(std::move(old.error()));
    const auto updated = static_cast<uint8_t>(((*old)[0] & ~mask) | (value & mask));
    return write_locked(device, reg, {updated});
}

std::expected<std::vector<uint8_t>, std::string> PortIIC::read_locked(uint8_t device, uint8_t reg,
                                                                      std::size_t count) const {
    spdlog::trace("I2C Read  : P{} | 0x{:02X} | 0x{:02X} | {} ->", port_, device, reg, count);
    const std::array<uint8_t, 4> frame{COMMAND, static_cast<uint8_t>(device | 0x01), reg, static_cast<uint8_t>(count)};
    (void)uart_->discard_stale(port_);  // a late reply must not pass for this one
    if (auto sent = uart_->send(port_, frame); !sent) return std::unexpected(std::move(sent.error()));

    auto reply = uart_->recv(port_, count + 1);
    if (!reply) {
        spdlog::trace("recv error: {}", reply.error());
        return std::unexpected(std::move(reply.error()));
    }
    if ((*reply)[0] != ACK) {
        spdlog::trace("ACK error: expected 0x{:02X}, got 0x{:02X}", ACK, (*reply)[0]);
        return std::unexpected("I2C::read ACK error");
    }
    reply->erase(reply->begin());
    spdlog::trace("Ok {:02X}", fmt::join(*reply, " "));
    pause_after_transaction();
    return std::move(*reply);
}

std::expected<void, std::string> PortIIC::write_locked(uint8_t device, uint8_t reg,
                                                       const std::vector<uint8_t>& data) const {
    spdlog::trace("I2C Write : P{} | 0x{:02X} | 0x{:02X} | {:02X} -> ", port_, device, reg, fmt::join(data, " "));
    std::vector<uint8_t> frame{COMMAND, device, reg, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    (void)uart_->discard_stale(port_);  // a late reply must not pass for this one
    if (auto sent = uart_->send(port_, frame); !sent) return std::unexpected(std::move(sent.error()));

    auto reply = uart_->recv(port_, 1);
    if (!reply) {
        spdlog::trace("recv error: {}", reply.error());
        return std::unexpected(std::move(reply.error()));
    }
    if ((*reply)[0] != ACK) {
        spdlog::trace("ACK error: expected 0x{:02X}, got 0x{:02X}", ACK, (*reply)[0]);
        return std::unexpected("I2C::write ACK error");
    }
    pause_after_transaction();
    spdlog::trace("Ok");
    return {};
}

}  // namespace pelionp
