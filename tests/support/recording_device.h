#pragma once
// A pelio::BasicDevice over an in-memory register map that records every
// call in order. For register-level tests, where the order of accesses is
// the point; everything behind the UART is tested on the simulated board.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pelio/basic_device.h"

namespace pelionp::test {

struct DeviceCall {
    enum class Op { SetRegister, SendRegisters, GetRegister, FetchRegisters, Trigger, Write, Read, StartReadStream, GetStatus, GetInfo };
    Op op;
    uint32_t address = 0;
    uint32_t value = 0;
    uint32_t mask = 0;

    friend bool operator==(const DeviceCall&, const DeviceCall&) = default;
};

std::string to_string(DeviceCall::Op op);
std::ostream& operator<<(std::ostream& os, const DeviceCall& call);

/// Shorthand for the expected record of a masked register write.
inline DeviceCall set_reg(uint32_t address, uint32_t value, uint32_t mask) {
    return {DeviceCall::Op::SetRegister, address, value, mask};
}

class RecordingDevice : public pelio::BasicDevice {
public:
    using Op = DeviceCall::Op;
    using Status = pelio::BasicDeviceStatus;

    // Configuration (call before the device is shared with other threads).
    void fail(Op op) { failing_.insert(op); }
    void set_status(std::expected<std::string, std::string> status) { status_ = std::move(status); }
    void poke(uint32_t address, uint32_t value);

    // Observation.
    std::vector<DeviceCall> calls() const;
    /// Only the register writes, in order.
    std::vector<DeviceCall> writes() const;
    uint32_t peek(uint32_t address) const;
    void clear_calls();

    Status set_register(uint32_t address, uint32_t value, uint32_t mask) override;
    Status send_registers() override;
    uint32_t get_register(uint32_t address) override;
    Status fetch_registers() override;
    Status trigger(uint32_t address, int bit) override;
    std::size_t write(uint32_t pipe, std::size_t length, const uint8_t* data) override;
    std::size_t read(uint32_t pipe, std::size_t length, uint8_t* buffer) override;
    std::unique_ptr<DataStream> start_read_stream(uint32_t address, StreamCallback callback, int word) override;
    std::expected<std::string, std::string> get_status() override;
    std::string get_info() override;

private:
    Status record(DeviceCall call);

    mutable std::mutex mutex_;
    std::vector<DeviceCall> calls_;
    std::map<uint32_t, uint32_t> registers_;
    std::set<Op> failing_;
    std::expected<std::string, std::string> status_{
        R"({"Version": "1.0.0","Build": "test","Date": "2025-07-03 13:02:47","Mode": "np","API": "1","Expander": false,"Capabilities": {"Device Timestamp": ["Internal"] }})"};
};

}  // namespace pelionp::test
