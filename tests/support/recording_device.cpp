#include "tests/support/recording_device.h"

#include <ostream>
#include <stdexcept>

#include <fmt/format.h>

namespace pelionp::test {

std::string to_string(DeviceCall::Op op) {
    switch (op) {
        case DeviceCall::Op::SetRegister: return "set_register";
        case DeviceCall::Op::SendRegisters: return "send_registers";
        case DeviceCall::Op::GetRegister: return "get_register";
        case DeviceCall::Op::FetchRegisters: return "fetch_registers";
        case DeviceCall::Op::Trigger: return "trigger";
        case DeviceCall::Op::Write: return "write";
        case DeviceCall::Op::Read: return "read";
        case DeviceCall::Op::StartReadStream: return "start_read_stream";
        case DeviceCall::Op::GetStatus: return "get_status";
        case DeviceCall::Op::GetInfo: return "get_info";
    }
    return "?";
}

std::ostream& operator<<(std::ostream& os, const DeviceCall& call) {
    return os << fmt::format("{}(0x{:X}, 0x{:X}, 0x{:X})", to_string(call.op), call.address, call.value, call.mask);
}

void RecordingDevice::poke(uint32_t address, uint32_t value) {
    std::lock_guard lock(mutex_);
    registers_[address] = value;
}

std::vector<DeviceCall> RecordingDevice::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<DeviceCall> RecordingDevice::writes() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceCall> out;
    for (const auto& c : calls_)
        if (c.op == Op::SetRegister) out.push_back(c);
    return out;
}

uint32_t RecordingDevice::peek(uint32_t address) const {
    std::lock_guard lock(mutex_);
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void RecordingDevice::clear_calls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

RecordingDevice::Status RecordingDevice::record(DeviceCall call) {
    calls_.push_back(call);
    return failing_.contains(call.op) ? Status::Failure : Status::Success;
}

RecordingDevice::Status RecordingDevice::set_register(uint32_t address, uint32_t value, uint32_t mask) {
    std::lock_guard lock(mutex_);
    const auto status = record({Op::SetRegister, address, value, mask});
    if (status == Status::Success) {
        auto& reg = registers_[address];
        reg = (reg & ~mask) | (value & mask);
    }
    return status;
}

RecordingDevice::Status RecordingDevice::send_registers() {
    std::lock_guard lock(mutex_);
    return record({Op::SendRegisters});
}

uint32_t RecordingDevice::get_register(uint32_t address) {
    std::lock_guard lock(mutex_);
    record({Op::GetRegister, address});
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

RecordingDevice::Status RecordingDevice::fetch_registers() {
    std::lock_guard lock(mutex_);
    return record({Op::FetchRegisters});
}

RecordingDevice::Status RecordingDevice::trigger(uint32_t address, int bit) {
    std::lock_guard lock(mutex_);
    return record({Op::Trigger, address, static_cast<uint32_t>(bit)});
}

std::size_t RecordingDevice::write(uint32_t pipe, std::size_t length, const uint8_t*) {
    std::lock_guard lock(mutex_);
    return record({Op::Write, pipe, static_cast<uint32_t>(length)}) == Status::Success ? length : 0;
}

std::size_t RecordingDevice::read(uint32_t pipe, std::size_t length, uint8_t*) {
    std::lock_guard lock(mutex_);
    return record({Op::Read, pipe, static_cast<uint32_t>(length)}) == Status::Success ? length : 0;
}

std::unique_ptr<RecordingDevice::DataStream> RecordingDevice::start_read_stream(uint32_t address, StreamCallback,
                                                                                int word) {
    std::lock_guard lock(mutex_);
    record({Op::StartReadStream, address, static_cast<uint32_t>(word)});
    // Streams are the simulated board's business; refusing loudly here keeps
    // a test from mistaking this device for one that streams.
    return nullptr;
}

std::expected<std::string, std::string> RecordingDevice::get_status() {
    std::lock_guard lock(mutex_);
    if (record({Op::GetStatus}) == Status::Failure) return std::unexpected(std::string("Failed to read status"));
    return status_;
}

std::string RecordingDevice::get_info() {
    std::lock_guard lock(mutex_);
    record({Op::GetInfo});
    return "{}";
}

}  // namespace pelionp::test
