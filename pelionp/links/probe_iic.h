#pragma once
// I2C route to one docked probe of an NP2 headstage. Both docks share one
// bus behind the serializer; bits 4 and 1 of serializer register 0x0F pick
// the dock that sees it (bit 4 on; bit 1 on for the first dock, off for the
// second). `ProbeIIC` selects its dock before every transaction and caches
// nothing.
//
// Threading: no lock of its own. The dock selection and the transaction
// after it are separate UART transactions, held together by the port's
// sequence lock (PortIIC::lock_sequence), so probes on both docks of one
// headstage may be used from different threads.
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "pelionp/export.h"
#include "pelionp/links/port_iic.h"

namespace pelionp::NP2 {

/// Dock of an NP2 probe: code 0 is the first dock, any other the second.
enum class Dock : uint8_t {
    DOCK0 = 0,
    DOCK1 = 1,
};

/// Serializer GPIO values register, which carries the dock routing bits.
inline constexpr uint8_t DOCK_ROUTING_REG = 0x0F;

class PELIONP_API ProbeIIC {
public:
    /// The serializer: dock selection and `iic_read`/`iic_write` on this type
    /// reach it directly, without selecting a dock.
    static constexpr uint8_t DEVICE_ADDR = 0x80;

    ProbeIIC(Dock dock, const PortIIC& port);

    /// Routes the probe bus to this handle's dock.
    std::expected<void, std::string> iic_control();
    /// Dock selection, then the port transaction (its result unchanged).
    std::expected<std::vector<uint8_t>, std::string> read(uint8_t device, uint8_t reg, std::size_t count);
    std::expected<void, std::string> write(uint8_t device, uint8_t reg, const std::vector<uint8_t>& data);
    std::expected<void, std::string> set_bits(uint8_t device, uint8_t reg, uint8_t value, uint8_t mask);

    Dock dock;
    PortIIC port;
};

/// Reads serializer register 0x0F and writes it back with the routing bits
/// of `dock`: two transactions.
template <typename Handle>
std::expected<void, std::string> select_i2c_dock(Handle& handle, Dock dock);

extern template PELIONP_API std::expected<void, std::string> select_i2c_dock<ProbeIIC>(ProbeIIC&, Dock);

}  // namespace pelionp::NP2
