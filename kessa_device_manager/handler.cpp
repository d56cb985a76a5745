#include "kessa_device_manager/handler.h"

#include <chrono>

namespace pelio::xdma {
namespace {

constexpr uint32_t PORT_PRODUCERS = 0x0F;  // bits 0..3 of TRANSFER_SIZE_REGISTER in the NP image
constexpr uint32_t IO_PRODUCER_REGISTER = 0x2400;
constexpr uint32_t IO_PRODUCER = 0x1;
constexpr uint32_t END_OF_PACKET_ENABLE = 0x80;
// How long a pulse is given to end the read before it is sent again, doubled
// each time, and how often: enough for a read that began just after one.
constexpr std::chrono::milliseconds FIRST_PATIENCE{10};
constexpr int PULSES = 4;

}  // namespace

void Handler::end_read_in_flight(platform::ReadInterrupt& interrupt, bool producers_off) {
    if constexpr (platform::INTERRUPT_ENDS_DRIVER_READ) {
        (void)interrupt;
        (void)producers_off;
    } else {
        auto patience = FIRST_PATIENCE;
        for (int pulse = 0; pulse < PULSES && interrupt.reader_in_flight(); ++pulse) {
            const bool np = np_mode;
            // Released (a reboot): no read is in flight on it.
            (void)try_with_registers_locked([&](Connection& c) {
                if (c.register_space_bytes() <= TRANSFER_SIZE_REGISTER) return false;
                if (producers_off && np && pulse == 0) {
                    c.write_register(TRANSFER_SIZE_REGISTER, c.read_register(TRANSFER_SIZE_REGISTER) & ~PORT_PRODUCERS);
                    if (c.register_space_bytes() > IO_PRODUCER_REGISTER) {
                        c.write_register(IO_PRODUCER_REGISTER, c.read_register(IO_PRODUCER_REGISTER) & ~IO_PRODUCER);
                    }
                }
                const uint32_t value = c.read_register(TRANSFER_SIZE_REGISTER);
                c.write_register(TRANSFER_SIZE_REGISTER, value & ~END_OF_PACKET_ENABLE);
                c.write_register(TRANSFER_SIZE_REGISTER, value | END_OF_PACKET_ENABLE);
                return true;
            });
            interrupt.try_cancel_readers();
            if (interrupt.wait_until_no_reader_for(patience)) return;
            patience *= 2;
        }
    }
}

}  // namespace pelio::xdma
