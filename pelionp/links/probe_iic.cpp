#include "pelionp/links/probe_iic.h"

namespace pelionp::NP2 {

template <typename Handle>
std::expected<void, std::string> select_i2c_dock(Handle& handle, Dock dock) {
    auto current = iic_read(handle, DOCK_ROUTING_REG, 1);
    if (!current) return std::unexpected(current.error());
    if (current->size() != 1) return std::unexpected(std::string("short read of serializer register 0x0F"));
    const uint8_t old = current->front();
    const uint8_t routed = dock == Dock::DOCK0 ? uint8_t(old | 0x12) : uint8_t((old & ~0x02) | 0x10);
    auto written = iic_write(handle, DOCK_ROUTING_REG, std::vector<uint8_t>{routed});
    if (!written) return std::unexpected("Failed to select I2C bank:" + written.error());
    return {};
}

template PELIONP_API std::expected<void, std::string> select_i2c_dock<ProbeIIC>(ProbeIIC&, Dock);

ProbeIIC::ProbeIIC(Dock dock_, const PortIIC& port_) : dock(dock_), port(port_) {}

std::expected<void, std::string> ProbeIIC::iic_control() {
    auto selected = select_i2c_dock(*this, dock);
    if (!selected) return std::unexpected("Failed to select I2C dock: " + selected.error());
    return {};
}

namespace {
std::string control_failed(const std::string& message) { return "Failed to set IIC control: " + message; }
}  // namespace

std::expected<std::vector<uint8_t>, std::string> ProbeIIC::read(uint8_t device, uint8_t reg, std::size_t count) {
    const auto sequence = port.lock_sequence();  // the dock stays routed for the transaction
    if (auto routed = iic_control(); !routed) return std::unexpected(control_failed(routed.error()));
    return port.read(device, reg, count);
}

std::expected<void, std::string> ProbeIIC::write(uint8_t device, uint8_t reg, const std::vector<uint8_t>& data) {
    const auto sequence = port.lock_sequence();  // the dock stays routed for the transaction
    if (auto routed = iic_control(); !routed) return std::unexpected(control_failed(routed.error()));
    return port.write(device, reg, data);
}

std::expected<void, std::string> ProbeIIC::set_bits(uint8_t device, uint8_t reg, uint8_t value, uint8_t mask) {
    const auto sequence = port.lock_sequence();  // the dock stays routed for the transaction
    if (auto routed = iic_control(); !routed) return std::unexpected(control_failed(routed.error()));
    return port.set_bits(device, reg, value, mask);
}

}  // namespace pelionp::NP2
