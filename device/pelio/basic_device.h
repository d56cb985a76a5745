#pragma once
// The abstract acquisition device.
//
// Both deliverables are built separately and meet only through this vtable:
// the order of the virtual members below is part of the binary interface
// and must not change.
//
// Threading: register, trigger and pipe operations may be called from any
// thread, also while a stream runs. Stream events are delivered on the
// stream's own thread; a callback must never destroy or join its own stream.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "pelio/data_stream.h"
#include "pelio/std23.h"

namespace pelio {

/// Result code of register, trigger and commit operations.
enum class BasicDeviceStatus : int {
    Success = 0,
    Failure = 1,
};

/// Device over registers of type `Value` at addresses of type `Address`,
/// whose operations report a `Status`. The library and the plug-in use the
/// instantiation `pelio::BasicDevice` below.
template <typename Address, typename Value, typename Status>
class BasicDeviceOf {
public:
    using address_type = Address;
    using value_type = Value;
    using status_type = Status;
    using StreamCallback = std23::move_only_function<void(DataStream::Events&&)>;

    /// One running push stream, owned by whoever started it.
    class DataStream {
    public:
        /// Stops the stream and joins its thread.
        virtual ~DataStream() = default;
        /// Clears the running flag; returns whether the stream was running.
        virtual bool stop() = 0;
        /// Waits for the stream thread to end. Calling it from the stream's
        /// own thread is an error.
        virtual void join() = 0;
    };

    virtual ~BasicDeviceOf() = default;

    /// Masked write followed by a commit: fails without committing when the
    /// write fails. This is the write the library uses.
    virtual Status set_register_sync(Address address, Value value, Value mask) {
        if (set_register(address, value, mask) != Status{}) return Status{1};
        return send_registers();
    }
    /// Stages a masked write: new = (old & ~mask) | (value & mask). A full
    /// mask writes the value without reading the register first.
    virtual Status set_register(Address address, Value value, Value mask) = 0;
    /// Commits staged register writes.
    virtual Status send_registers() = 0;
    /// Refresh then read; empty when the refresh fails. This is the read the
    /// library uses.
    virtual std::optional<Value> get_register_sync(Address address) {
        if (fetch_registers() != Status{}) return std::nullopt;
        return get_register(address);
    }
    /// Reads one register (as last fetched).
    virtual Value get_register(Address address) = 0;
    /// Refreshes register values from the hardware.
    virtual Status fetch_registers() = 0;
    /// Pulses one trigger bit.
    virtual Status trigger(Address address, int bit) = 0;
    /// Writes a block to an input pipe; returns the bytes written (0 on failure).
    virtual std::size_t write(uint32_t pipe, std::size_t length, const uint8_t* data) = 0;
    /// Reads a block from an output pipe; returns the bytes read (0 on failure).
    virtual std::size_t read(uint32_t pipe, std::size_t length, uint8_t* buffer) = 0;
    /// Starts the push stream. Empty when the device cannot open a stream.
    virtual std::unique_ptr<DataStream> start_read_stream(uint32_t address, StreamCallback callback,
                                                          int word) = 0;
    /// Firmware and mode status as a one-line JSON document.
    virtual std::expected<std::string, std::string> get_status() = 0;
    /// Board identity as a JSON document.
    virtual std::string get_info() = 0;
};

using BasicDevice = BasicDeviceOf<uint32_t, uint32_t, BasicDeviceStatus>;

}  // namespace pelio
