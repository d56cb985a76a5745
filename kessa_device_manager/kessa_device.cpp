#include "kessa_device_manager/kessa_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "kessa_device_manager/board_control.h"
#include "kessa_device_manager/status.h"
#include "kessa_device_manager/xdma_data_stream.h"

namespace pelio {
namespace {

constexpr uint32_t WIRE_ENDPOINTS_END = 0x20;  // wire-in 0x00..0x1F are writable
constexpr uint32_t WIRE_OUT_FIRST = 0x20;
constexpr uint32_t WIRE_OUT_END = 0x40;
constexpr uint32_t TRIGGER_FIRST = 0x40;
constexpr uint32_t TRIGGER_LAST = 0x45;
constexpr uint32_t CLOCK_DIVIDER_TRIGGER = 0x40;
constexpr int CLOCK_DIVIDER_BIT = 11;
constexpr uint32_t CLOCK_SOURCE = 0x1494;
constexpr uint32_t CLOCK_DIVIDER = 0x1408;
constexpr uint32_t PIPE_STROBE = 0x1530;
constexpr uint32_t PIPE_DATA_FIRST = 0x1534;
constexpr uint32_t DRAIN_ENDPOINT = 0xA0;
// A drain ends once the channel stays empty this long.
constexpr std::chrono::nanoseconds DRAIN_QUIET{1'999'999};

constexpr uint32_t endpoint_address(uint32_t endpoint) { return 0x1418 + 4 * endpoint; }

constexpr bool pass_through(uint32_t address) {
    return (address >= 0x1000 && address <= 0x17FF) || (address >= 0x2000 && address <= 0x23FF) ||
           (address >= 0x2C00 && address <= 0x2FFF);
}

constexpr bool word_fed_pipe(uint32_t endpoint) {
    return endpoint == 0x81 || endpoint == 0x83 || endpoint == 0x85 || endpoint == 0x87;
}

std::shared_ptr<xdma::Handler> open_handler(std::shared_ptr<xdma::platform::Backend> backend, const std::string& path,
                                            xdma::Timing timing, ModuleReference module) {
    auto connection = xdma::Connection::open(*backend, path, module);
    if (!connection) throw std::runtime_error(connection.error());
    return std::make_shared<xdma::Handler>(std::move(backend), path, std::move(*connection), timing,
                                           std::move(module));
}

}  // namespace

KessaDevice::KessaDevice(std::shared_ptr<xdma::platform::Backend> backend, std::string path, bool skip_init,
                         xdma::Timing timing, ModuleReference module)
    : path_(std::move(path)) {
    spdlog::debug("KessaDevice::KessaDevice {} {}", fmt::ptr(this), path_);
    handler_ = open_handler(std::move(backend), path_, timing, std::move(module));
    const auto status = xdma::try_read_status_map(*handler_);
    handler_->np_mode = status && status->at("Mode") == "np";
    if (!handler_->np_mode && !skip_init) xdma::initialise(*handler_);
    // An overflow reboot during initialisation may have left the board
    // unreachable: such a device is not handed out.
    if (auto unusable = handler_->unusable()) throw std::runtime_error(*unusable);
}

KessaDevice::~KessaDevice() { spdlog::debug("KessaDevice::~KessaDevice() {}", fmt::ptr(this)); }

BasicDeviceStatus KessaDevice::set_register(uint32_t address, uint32_t value, uint32_t mask) {
    spdlog::debug("KessaDevice::set_register({:X}, {:X}, {:X})", address, value, mask);
    uint32_t target = address;
    if (!handler_->np_mode && !pass_through(address)) {
        if (address >= WIRE_ENDPOINTS_END) {
            spdlog::error("KessaDevice::set_register({:X}, {:X}, {:X}) out of range", address, value, mask);
            return BasicDeviceStatus::Failure;
        }
        target = endpoint_address(address);
    }
    if (mask == 0xFFFFFFFF) {
        handler_->write_register(target, value);
    } else {
        handler_->modify_register(target, value, mask);
    }
    return BasicDeviceStatus::Success;
}

BasicDeviceStatus KessaDevice::send_registers() { return BasicDeviceStatus::Success; }
BasicDeviceStatus KessaDevice::fetch_registers() { return BasicDeviceStatus::Success; }

uint32_t KessaDevice::get_register(uint32_t address) {
    uint32_t target = address;
    if (!handler_->np_mode && !pass_through(address)) {
        if (address < WIRE_OUT_FIRST || address >= WIRE_OUT_END) {
            spdlog::error("KessaDevice::get_register({:02x}) out of range", address);
            return 0;
        }
        target = endpoint_address(address);
    }
    const uint32_t value = handler_->read_register(target);
    spdlog::trace("KessaDevice::get_register({:02x}) = {:X}", address, value);
    return value;
}

BasicDeviceStatus KessaDevice::trigger(uint32_t address, int bit) {
    spdlog::debug("KessaDevice::trigger({:X}, {:X})", address, bit);
    if (handler_->np_mode) return BasicDeviceStatus::Failure;
    if (address == CLOCK_DIVIDER_TRIGGER && bit == CLOCK_DIVIDER_BIT) {
        const uint32_t source = handler_->read_register(CLOCK_SOURCE);
        if (source < 3) return BasicDeviceStatus::Failure;
        handler_->write_register(CLOCK_DIVIDER, source / 2 - 1);
        return BasicDeviceStatus::Success;
    }
    if (address < TRIGGER_FIRST || address > TRIGGER_LAST || bit < 0 || bit > 31) {
        spdlog::error("KessaDevice::trigger({:X}, {:X}) out of range", address, bit);
        return BasicDeviceStatus::Failure;
    }
    handler_->write_register(endpoint_address(address), 1u << bit);
    return BasicDeviceStatus::Success;
}

std::size_t KessaDevice::feed_pipe(uint32_t endpoint, std::size_t length, const uint8_t* data) {
    const uint32_t k = (endpoint - 0x81) / 2;
    // NB: a trailing partial word goes out zero-padded rather than dropped.
    for (std::size_t offset = 0; offset < length; offset += 4) {
        uint32_t word = 0;
        std::memcpy(&word, data + offset, std::min<std::size_t>(4, length - offset));
        handler_->write_register(PIPE_DATA_FIRST + 4 * k, word);
        handler_->write_register(PIPE_STROBE, 1u << (k + 1));
    }
    return length;
}

std::size_t KessaDevice::write(uint32_t endpoint, std::size_t length, const uint8_t* data) {
    spdlog::debug("KessaDevice::write({:X}, {:X})", endpoint, length);
    if (handler_->np_mode) return 0;
    if (length != 0 && data == nullptr) {
        spdlog::warn("KessaDevice::write({:X}, {:X}) null input buffer", endpoint, length);
        return 0;
    }
    if (word_fed_pipe(endpoint)) return feed_pipe(endpoint, length, data);
    const auto written = handler_->with_connection(
        [&](xdma::Connection& c) { return c.h2c_write({data, length}); });
    if (!written) {
        spdlog::error("KessaDevice::write({:X}, {:X}) failed: {}", endpoint, length, written.error());
        return 0;
    }
    return *written;
}

std::size_t KessaDevice::drain() {
    using Clock = std::chrono::steady_clock;
    std::size_t total = 0;
    auto quiet_until = Clock::now() + DRAIN_QUIET;
    const xdma::platform::ReadWait wait{.interrupts = {&handler_->suspension(), nullptr}};
    for (;;) {
        // NB: the level register first: the driver's read of an empty
        // channel waits for its timeout (seconds), so an empty channel is
        // watched through the level for the quiet window instead.
        const bool has_data = handler_->with_connection([](xdma::Connection& c) { return c.channel_has_data(); });
        if (!has_data) {
            if (Clock::now() >= quiet_until || handler_->reads_suspended()) break;
            std::this_thread::sleep_for(xdma::LEVEL_POLL);
            continue;
        }
        const auto chunk = handler_->with_connection([&](xdma::Connection& c) { return c.c2h_read(0, wait); });
        if (!chunk || chunk->size() == 0) break;
        total += chunk->size();
        quiet_until = Clock::now() + DRAIN_QUIET;
    }
    return total;
}

std::size_t KessaDevice::read(uint32_t endpoint, std::size_t length, uint8_t* buffer) {
    if (handler_->np_mode) return 0;
    if (length != 0 && buffer == nullptr) {
        spdlog::warn("KessaDevice::read({:X}, {:X}) null output buffer", endpoint, length);
        return 0;
    }
    spdlog::debug("KessaDevice::read({:X}, {:X})", endpoint, length);
    if (endpoint == DRAIN_ENDPOINT) return length == 0 ? drain() : 0;
    spdlog::error("Unknown ReadFromBlockPipeOut {:X} {:X}\n", endpoint, length);
    return 0;
}

std::unique_ptr<BasicDevice::DataStream> KessaDevice::start_read_stream(uint32_t /*address*/, StreamCallback callback,
                                                                        int /*word*/) {
    if (!callback) throw std::invalid_argument("start_read_stream: empty stream callback");
    // NB: the stream runs this module's code until it is destroyed, and
    // holds the module's reference through the handler; the module pins
    // itself, so nothing of it unloads under a stream (plugin_entry.cpp).
    return std::make_unique<xdma::XDMA_DataStream>(handler_, std::move(callback));
}

std::expected<std::string, std::string> KessaDevice::get_status() { return xdma::status_document(*handler_); }

std::string KessaDevice::get_info() { return xdma::info_document(*handler_); }

int KessaDevice::reboot(const std::string& mode) { return xdma::reboot(*handler_, mode); }

}  // namespace pelio
