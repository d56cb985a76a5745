#pragma once
// The UART-to-I2C bridge of one port.
//
// It reads the byte stream of the line and performs one I2C transaction per
// 'y' frame:
//   read  {0x79, address | 1, register, count}      -> {0xC3, count data bytes}
//   write {0x79, address, register, n, n data bytes} -> {0xC3}
// A transaction nobody acknowledges is answered with BRIDGE_NACK; a refused
// read still answers count + 1 bytes (BRIDGE_NACK and zeros), so the reply
// length is always the one the frame announced. A byte outside a frame that
// is not 0x79 is dropped and reported as a protocol error.
//
// Threading: none of its own; the Board serialises every access.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/i2c_bus.h"

namespace pelionp::sim {

inline constexpr uint8_t BRIDGE_COMMAND = 0x79;
inline constexpr uint8_t BRIDGE_ACK = 0xC3;
/// NB: what the board's bridge answers on a NACK is not documented; the sim
/// uses the complement of the ACK so a test can tell it from a zero byte.
inline constexpr uint8_t BRIDGE_NACK = 0x3C;

class UartBridge {
public:
    struct Exchange {
        Bytes frame;
        Bytes reply;
    };

    /// Takes one byte off the line. When it completes a frame, performs the
    /// transaction on `target` and returns the frame with its reply.
    std::optional<Exchange> feed(uint8_t byte, I2CTarget& target);

    /// Protocol errors seen since the last call.
    std::vector<std::string> take_errors();

private:
    Bytes pending_;
    std::vector<std::string> errors_;
};

}  // namespace pelionp::sim
