#include "pelionp/controller/board.h"

#include <stdexcept>

namespace pelionp::board {
namespace {

constexpr uint32_t bit(bool on) { return on ? 1u : 0u; }

void write(pelio::BasicDevice& device, uint32_t address, uint32_t value, uint32_t mask) {
    (void)device.set_register_sync(address, value, mask);
}

}  // namespace

void assign_port_4_to_NP(pelio::BasicDevice& device, bool on) {
    write(device, REG_PORT_CONTROL, bit(on), 0x1);
}

void set_QBN004_Power(pelio::BasicDevice& device, bool on) {
    write(device, REG_PORT_CONTROL, bit(on) << 1, 0x2);
}

void set_np_power(pelio::BasicDevice& device, bool on) {
    write(device, REG_PORT_CONTROL, on ? 0x00000000u : 0xFFFF0000u, 0xFFFF0000u);
}

void enable_stream(pelio::BasicDevice& device, demux::SID sid, bool on) {
    const uint32_t s = demux::to_underlying(sid);
    if (s == demux::to_underlying(demux::SID::IO)) {
        write(device, REG_IO_CONTROL, bit(on), 0x1);
        return;
    }
    const auto place = demux::place_of(sid);
    if (!place) throw std::runtime_error("enable_io_stream: invalid SID");
    const auto port = static_cast<uint32_t>(place->port);
    write(device, REG_STREAM_CONTROL, bit(on) << port, 1u << port);
}

void set_tlast_enable(pelio::BasicDevice& device, bool on) {
    write(device, REG_STREAM_CONTROL, bit(on) << 7, 0x80);
}

void send_soft_trigger(pelio::BasicDevice& device) {
    write(device, REG_STREAM_CONTROL, 0x200, 0x200);
    write(device, REG_STREAM_CONTROL, 0, 0x200);
}

void set_np2_demux(pelio::BasicDevice& device, int port, bool on) {
    if (static_cast<unsigned>(port) > 3) throw std::runtime_error("set_np2_demux invalid");
    const uint32_t s = 16 + static_cast<uint32_t>(port);
    write(device, REG_STREAM_CONTROL, bit(on) << s, 1u << s);
}

PortStatus get_np_port_status(pelio::BasicDevice& device, int port) {
    const uint32_t v = device.get_register_sync(REG_PORT_STATUS).value_or(0);
    const auto p = static_cast<uint32_t>(port);
    return PortStatus{
        .low_bit_set = ((v >> (p % 32)) & 1u) == 1u,
        .high_bit_clear = ((v >> ((p + 4) % 32)) & 1u) == 0u,
    };
}

}  // namespace pelionp::board
