#include "sim/uart_bridge.h"

#include <utility>

#include <fmt/format.h>

namespace pelionp::sim {

std::optional<UartBridge::Exchange> UartBridge::feed(uint8_t byte, I2CTarget& target) {
    if (pending_.empty() && byte != BRIDGE_COMMAND) {
        errors_.push_back(fmt::format("byte 0x{:02X} outside a frame", byte));
        return std::nullopt;
    }
    pending_.push_back(byte);
    if (pending_.size() < 4) return std::nullopt;

    const uint8_t address = pending_[1];
    const bool is_read = address & 0x01;
    const std::size_t count = pending_[3];
    if (!is_read && pending_.size() < 4 + count) return std::nullopt;

    Transaction transaction{.address = address, .is_read = is_read, .reg = pending_[2], .count = 0, .data = {}};
    if (is_read)
        transaction.count = count;
    else
        transaction.data.assign(pending_.begin() + 4, pending_.end());

    Exchange exchange{.frame = std::move(pending_), .reply = {}};
    pending_.clear();
    const Answer answer = target.transfer(transaction);
    if (!answer) {
        exchange.reply.assign(is_read ? count + 1 : 1, 0x00);
        exchange.reply[0] = BRIDGE_NACK;
        return exchange;
    }
    if (is_read && answer->size() != count) {
        errors_.push_back(fmt::format("chip 0x{:02X} answered {} bytes to a read of {}", address & 0xFE,
                                      answer->size(), count));
    }
    exchange.reply.push_back(BRIDGE_ACK);
    exchange.reply.insert(exchange.reply.end(), answer->begin(), answer->end());
    return exchange;
}

std::vector<std::string> UartBridge::take_errors() { return std::exchange(errors_, {}); }

}  // namespace pelionp::sim
