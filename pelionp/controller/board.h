#pragma once
// Board control registers. Each function is one or two masked register
// accesses; no other code of the library knows the bit layout. None takes a
// lock (callers serialise through the controller) and none checks the
// result code of a write.
#include <cstdint>

#include "pelio/basic_device.h"
#include "pelionp/demux/sid.h"
#include "pelionp/export.h"

namespace pelionp::board {

inline constexpr uint32_t REG_PORT_CONTROL = 0x1400;
inline constexpr uint32_t REG_STREAM_CONTROL = 0x1404;
inline constexpr uint32_t REG_PORT_STATUS = 0x1408;
inline constexpr uint32_t REG_IO_CONTROL = 0x2400;

/// The two status bits of a port as read from 0x1408 (bit p and bit p + 4).
struct PortStatus {
    bool low_bit_set;
    bool high_bit_clear;
};

PELIONP_API void assign_port_4_to_NP(pelio::BasicDevice& device, bool on);
PELIONP_API void set_QBN004_Power(pelio::BasicDevice& device, bool on);
/// NB: the power field is inverted on the board: on writes zeros.
PELIONP_API void set_np_power(pelio::BasicDevice& device, bool on);
/// Producer enable of a stream. A port's three streams share one bit.
/// Throws std::runtime_error for a SID without producer (4, 6, 7, > 15).
PELIONP_API void enable_stream(pelio::BasicDevice& device, demux::SID sid, bool on);
PELIONP_API void set_tlast_enable(pelio::BasicDevice& device, bool on);
/// Bit 9 of 0x1404 set, then cleared, with no delay between the writes.
PELIONP_API void send_soft_trigger(pelio::BasicDevice& device);
/// Throws std::runtime_error for a port outside 0..3.
PELIONP_API void set_np2_demux(pelio::BasicDevice& device, int port, bool on);
/// A failed read reports all bits as 0.
PELIONP_API PortStatus get_np_port_status(pelio::BasicDevice& device, int port);

}  // namespace pelionp::board
