#pragma once
// I2C transactions on one headstage port, carried as frames over the UART.
//
//   read  {0x79, device | 1, register, count}          reply {0xC3, count bytes}
//   write {0x79, device, register, n, n data bytes}     reply {0xC3}
//
// Device addresses are 8-bit (7-bit address shifted left by one).
//
// Threading: each of `read`, `write` and `set_bits` is one transaction
// under the UART's lock, ending with a 500 us pause inside the lock;
// `set_bits` holds the lock across its read and write. Each also takes the
// port's sequence lock (`lock_sequence`, recursive) first, so a sequence
// that holds it (an EEPROM access in register mode, a dock selection and
// its probe transaction) sees no other thread's transaction on the port in
// between. Other sequences are not atomic. Do not call these while holding
// `UART::lock_transaction()` (the mutex is not recursive).
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <type_traits>
#include <vector>

#include "pelionp/export.h"
#include "pelionp/links/uart.h"

namespace pelionp {

/// Largest read count and write payload that fit a 255-byte frame.
inline constexpr std::size_t IIC_MAX_READ = 254;
inline constexpr std::size_t IIC_MAX_WRITE = 251;

class PELIONP_API PortIIC {
public:
    static constexpr uint8_t COMMAND = 0x79;
    static constexpr uint8_t ACK = 0xC3;

    /// A handle on `port`; copies address the same port and UART. The UART
    /// must outlive every copy.
    PortIIC(int port, UART& uart) noexcept : port_(port), uart_(&uart) {}

    [[nodiscard]] int port() const noexcept { return port_; }
    [[nodiscard]] UART& uart() const noexcept { return *uart_; }
    /// Holds off other threads' transactions on this port until released.
    [[nodiscard]] std::unique_lock<std::recursive_mutex> lock_sequence() const { return uart_->lock_port(port_); }

    /// Reads `count` (at most 254) bytes starting at `reg`.
    std::expected<std::vector<uint8_t>, std::string> read(uint8_t device, uint8_t reg, std::size_t count) const;
    /// Writes `data` (at most 251 bytes) starting at `reg`.
    std::expected<void, std::string> write(uint8_t device, uint8_t reg, std::vector<uint8_t> data) const;
    /// Read-modify-write of one register: new = (old & ~mask) | (value & mask).
    std::expected<void, std::string> set_bits(uint8_t device, uint8_t reg, uint8_t value, uint8_t mask) const;

private:
    // The transaction bodies; the caller holds the UART lock.
    std::expected<std::vector<uint8_t>, std::string> read_locked(uint8_t device, uint8_t reg, std::size_t count) const;
    std::expected<void, std::string> write_locked(uint8_t device, uint8_t reg, const std::vector<uint8_t>& data) const;

    int port_;
    UART* uart_;
};

/// The route a chip type's transactions take: a member function
/// `iic_route()`, else a public member `iic`, else a public member `port`.
/// The route offers read/write/set_bits with PortIIC's signatures (a
/// PortIIC, or a handle that adds its own step, such as a dock selection).
template <typename T>
decltype(auto) iic_route(T& chip) {
    if constexpr (requires { chip.iic_route(); })
        return chip.iic_route();
    else if constexpr (requires { chip.iic; })
        return (chip.iic);
    else
        return (chip.port);
}

/// A chip type: a static `DEVICE_ADDR` and a route.
template <typename T>
concept IICChip = requires(T& chip) {
    { T::DEVICE_ADDR } -> std::convertible_to<uint8_t>;
    iic_route(chip);
};

template <IICChip T>
std::expected<std::vector<uint8_t>, std::string> iic_read(T& chip, uint8_t reg, std::size_t count) {
    return iic_route(chip).read(T::DEVICE_ADDR, reg, count);
}

template <IICChip T>
std::expected<void, std::string> iic_write(T& chip, uint8_t reg, std::vector<uint8_t> data) {
    return iic_route(chip).write(T::DEVICE_ADDR, reg, std::move(data));
}

template <IICChip T>
std::expected<void, std::string> iic_set_bits(T& chip, uint8_t reg, uint8_t value, uint8_t mask) {
    return iic_route(chip).set_bits(T::DEVICE_ADDR, reg, value, mask);
}

}  // namespace pelionp
