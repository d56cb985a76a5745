#pragma once
// The Kessa board's push stream: a thread pulling the card-to-host channel in
// 1 MiB transfers and handing each filled buffer to the callback.
//
// Events, in order: `OwnedData` for each transfer that brought bytes (its
// buffer is the consumer's to keep by moving it out, else released after
// the callback), one `Error` per failed transfer ("Kessa datastream error: N",
// followed by a 1 ms pause), and one `Stop` last. A read interrupted by
// stop, destruction or a reboot is no error. Two ends come without `stop`:
// a device a reboot left unusable sends one `Error` "Device unusable: ..."
// and stops, and a failed transfer of a board no longer listed (it left the
// bus) is the last error before `Stop`.
//
// Threading: the callback runs on the stream thread. `stop` may be called
// from any thread, the callback included; `join` and the destructor from any
// thread but the stream's own (a callback must not destroy its stream). An
// exception escaping the callback is logged at error level and the stream
// goes on. The stream shares the device's handler: it outlives the device
// object, and a reboot pauses it (no transfer runs on a released connection)
// until the board is back; the end-of-packet pulse then runs again on the
// new connection before its first read.
//
// Stopping: `stop` and the destructor raise the stream's interrupt, which
// ends a read waiting in the driver (on Linux by signalling the thread; the
// transfer in flight is lost, bytes the card still holds stay for the next
// reader), so the thread ends within milliseconds, not the driver's timeout.
// On Windows no interrupt ends a read waiting in the driver: stop and the
// destructor have the board end it (the producers of the Neuropixels image
// off, then the end-of-packet pulse), try CancelSynchronousIo, then join;
// the bound that remains is the driver's ring timeout (see
// Handler::end_read_in_flight).
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "kessa_device_manager/handler.h"
#include "pelio/basic_device.h"

namespace pelio::xdma {

class XDMA_DataStream final : public BasicDevice::DataStream {
public:
    XDMA_DataStream(std::shared_ptr<Handler> handler, BasicDevice::StreamCallback callback);
    /// Stops and joins. Called from the stream's own thread it cannot join:
    /// the process ends, as the deadlock error would end it.
    ~XDMA_DataStream() override;
    XDMA_DataStream(const XDMA_DataStream&) = delete;
    XDMA_DataStream& operator=(const XDMA_DataStream&) = delete;

    bool stop() override;
    /// Throws std::system_error (resource_deadlock_would_occur) from the
    /// stream's own thread.
    void join() override;

private:
    void run();
    void pulse_end_of_packet(Connection& connection);
    void deliver(pelio::DataStream::Events&& event);
    [[nodiscard]] bool board_gone() const;

    std::shared_ptr<Handler> handler_;
    BasicDevice::StreamCallback callback_;
    std::atomic<uint32_t> running_{1};
    platform::ReadInterrupt stopping_;
    std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace pelio::xdma
