#include "kessa_device_manager/board_control.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include <spdlog/spdlog.h>

#include "kessa_device_manager/identity.h"
#include "kessa_device_manager/status.h"

namespace pelio::xdma {
namespace {

using Clock = std::chrono::steady_clock;

// Rhythm pipeline registers.
constexpr uint32_t PORT_ENABLE = 0x1400;
constexpr uint32_t CLOCK_DIVIDER = 0x1408;
constexpr uint32_t OVERFLOW_CLEAR = 0x140C;
constexpr uint32_t PIPELINE_STATUS = 0x1410;
constexpr uint32_t PIPELINE_CONTROL = 0x1414;
constexpr uint32_t ENDPOINTS_FIRST = 0x1418;
constexpr uint32_t ENDPOINTS_END = 0x1498;
constexpr uint32_t BUFFER_LEVEL = 0x1498;
constexpr uint32_t PIPELINE_RUNNING = 0x14A0;
constexpr uint32_t PIPE_CONTROL = 0x1544;
constexpr uint32_t CHANNEL_SETUP_FIRST = 0x2000;
constexpr uint32_t CHANNEL_SETUP_END = 0x2058;

// Configuration-port (IPROG) sequence of legacy images.
constexpr uint32_t LEGACY_CONFIG_DATA = 0x1500;
constexpr uint32_t LEGACY_CONFIG_GO = 0x150C;
// Reconfiguration block of current images.
constexpr uint32_t ICAP_COMMAND = 0x400;
constexpr uint32_t ICAP_ARGUMENT = 0x404;
constexpr uint32_t ICAP_START = 0x408;
constexpr uint32_t ICAP_DONE = 0x40C;

void write_zeros(Handler& handler, uint32_t first, uint32_t end) {
    for (uint32_t address = first; address < end; address += 4) handler.write_register(address, 0);
}

/// Polls `done` every `interval` until it holds or `timeout` has passed.
template <class Done, class OnWait>
bool poll_until(Done&& done, std::chrono::milliseconds interval, std::chrono::milliseconds timeout, OnWait&& on_wait) {
    const auto start = Clock::now();
    while (!done()) {
        if (Clock::now() - start > timeout) return false;
        on_wait();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

void set_port_enables(Handler& handler, const std::string& mode) {
    const auto model = identity_model(handler);
    if (!model.starts_with("Birch")) {
        handler.write_register(PORT_ENABLE, model.starts_with("Alder") || model.starts_with("Cedar") ? 0xFF : 0);
    } else if (mode == "rhd") {
        handler.write_register(PORT_ENABLE, 0x55);
    } else if (mode == "rhs") {
        handler.write_register(PORT_ENABLE, 0xFF);
    }
}

void reset_pipeline(Handler& handler) {
    const uint32_t running = handler.read_register(PIPELINE_RUNNING);
    handler.write_register(PIPELINE_CONTROL, 0);
    handler.write_register(CLOCK_DIVIDER, 0);
    write_zeros(handler, ENDPOINTS_FIRST, ENDPOINTS_END);
    handler.write_register(PIPE_CONTROL, 0);
    handler.write_register(ENDPOINTS_FIRST, 1);
    handler.write_register(ENDPOINTS_FIRST, 0);

    if (running & 1) {
        spdlog::info("pipeline was running");
        const auto& t = handler.timing();
        // NB: bounded, unlike a plain wait: a pipeline that never stops must
        // not hang the host inside device creation.
        if (!poll_until([&] { return (handler.read_register(PIPELINE_RUNNING) & 1) == 0; }, t.pipeline_poll,
                        t.pipeline_stop_timeout, [] {})) {
            spdlog::warn("Pipeline did not stop");
        }
        std::this_thread::sleep_for(t.flush_settle);
        auto limits = t.flush_limits;
        limits.interrupt = &handler.suspension();
        handler.with_connection([&](Connection& c) { return c.flush(limits); });
    }

    write_zeros(handler, CHANNEL_SETUP_FIRST, CHANNEL_SETUP_END);
    handler.write_register(OVERFLOW_CLEAR, 0);
    spdlog::debug("Pipeline status {} running {} buffer {}", handler.read_register(PIPELINE_STATUS),
                  handler.read_register(PIPELINE_RUNNING), handler.read_register(BUFFER_LEVEL) & 0x7FFFFFFF);
}

void clear_overflow(Handler& handler) {
    if ((handler.read_register(PIPELINE_STATUS) & 1) == 0) return;
    spdlog::warn("Overflow detected, clearing...");
    handler.write_register(OVERFLOW_CLEAR, 1);
    const auto& t = handler.timing();
    const bool cleared = poll_until([&] { return (handler.read_register(PIPELINE_STATUS) & 1) == 0; },
                                    t.overflow_poll, t.overflow_timeout, [&] {
                                        spdlog::debug("Overflow detected, clearing... wait ... {} {} {}",
                                                      handler.read_register(BUFFER_LEVEL) & 0x7FFFFFFF,
                                                      handler.read_register(PIPELINE_RUNNING),
                                                      handler.read_register(PIPELINE_STATUS));
                                    });
    if (cleared) return;
    spdlog::error("Overflow cannot be cleared, rebooting...");
    const auto status = try_read_status_map(handler);
    if (!status) {
        spdlog::error("Cannot Get Status, cannot reboot");
        return;
    }
    const int result = reboot(handler, status->at("Mode"));
    spdlog::info("Reboot result: {}", result == 0 ? "Success" : "Failure");
}

void send_reboot(Handler& handler, uint32_t image_address) {
    if (legacy_signature(handler)) {
        // dummy, sync, no-op, write WBSTAR, address, write CMD, IPROG, no-op
        const std::array<uint32_t, 8> iprog{0xFFFFFFFF, 0xAA995566, 0x20000000, 0x30020001,
                                            image_address, 0x30008001, 0x0000000F, 0x20000000};
        for (uint32_t word : iprog) handler.write_register(LEGACY_CONFIG_DATA, word);
        handler.write_register(LEGACY_CONFIG_GO, 1);
        return;
    }
    handler.write_register(ICAP_COMMAND, 0x10);
    handler.write_register(ICAP_ARGUMENT, image_address);
    handler.write_register(ICAP_START, 1);
    const auto& t = handler.timing();
    // NB: bounded: a configuration port that never reports done must fail
    // the reboot, not hang it.
    if (!poll_until([&] { return (handler.read_register(ICAP_DONE) & 1) != 0; }, t.icap_poll, t.icap_timeout,
                    [] { spdlog::debug("Waiting for icap_done\n"); })) {
        throw std::runtime_error("timeout waiting for icap_done");
    }
    handler.write_register(ICAP_START, 0);
    handler.write_register(ICAP_COMMAND, 4);
    handler.write_register(ICAP_ARGUMENT, 15);
    handler.write_register(ICAP_START, 1);
}

bool listed(Handler& handler) {
    const auto paths = handler.backend().list_devices();
    return std::ranges::find(paths, handler.path()) != paths.end();
}

/// What identifies a board across its departures: its PCI address when
/// the system shows it, else the serial number of its identity block when
/// the block is valid, else nothing but its path.
struct BoardIdentity {
    std::optional<std::string> address;
    std::optional<uint32_t> serial;
};

std::optional<uint32_t> serial_number(const Connection& c) {
    if (c.register_space_bytes() < IDENTITY_BLOCK_ADDRESS + 4 * IDENTITY_BLOCK_WORDS) return std::nullopt;
    std::array<uint32_t, IDENTITY_BLOCK_WORDS> block{};
    for (uint32_t i = 0; i < IDENTITY_BLOCK_WORDS; ++i) block[i] = c.read_register(IDENTITY_BLOCK_ADDRESS + 4 * i);
    const auto identity = decode_identity(block);
    if (!identity) return std::nullopt;
    return identity->serial_number;
}

/// The serial number of the board listed at `path`, opened for a moment;
/// empty when it does not open (another program holds it) or has no valid
/// identity block.
std::optional<uint32_t> serial_number_at(Handler& handler, const std::string& path) {
    const auto connection = Connection::open(handler.backend(), path, handler.module());
    return connection ? serial_number(*connection) : std::nullopt;
}

/// Taken while the board is there: the system forgets its address once it
/// leaves, and its registers are gone with it.
BoardIdentity identify(Handler& handler) {
    BoardIdentity identity{.address = handler.backend().board_address(handler.path()), .serial = std::nullopt};
    if (!identity.address) {
        identity.serial = handler.try_with_connection([](Connection& c) { return serial_number(c); }).value_or(std::nullopt);
    }
    return identity;
}

/// The listed path of the board `identity` names (its old path when
/// nothing but the path identifies it): the driver may give a returning
/// board another number (with two boards, xdma0 comes back as xdma2).
/// NB: by serial number each listed board is opened in turn; a returning
/// board without a valid identity block is taken at its old path.
std::optional<std::string> find_again(Handler& handler, const std::string& old_path, const BoardIdentity& identity) {
    const auto paths = handler.backend().list_devices();
    for (const auto& path : paths) {
        if (identity.address) {
            if (handler.backend().board_address(path) == identity.address) return path;
        } else if (identity.serial) {
            if (serial_number_at(handler, path) == identity.serial) return path;
        } else if (path == old_path) {
            return path;
        }
    }
    if (identity.serial && std::ranges::find(paths, old_path) != paths.end() &&
        !serial_number_at(handler, old_path)) {
        return old_path;
    }
    return std::nullopt;
}

/// Installs a freshly opened connection and lets reads run again.
void install(Handler& handler, Connection connection) {
    handler.install_connection(std::move(connection));
    handler.resume_reads();
    // The device's address model follows the image that now runs.
    const auto status = try_read_status_map(handler);
    handler.np_mode = status && status->at("Mode") == "np";
}

/// After a reboot that went wrong with the connection released: the board
/// is opened again if it can be, else marked unusable with `reason`.
void reopen_or_give_up(Handler& handler, const std::string& reason) {
    auto connection = Connection::open(handler.backend(), handler.path(), handler.module());
    if (!connection) {
        handler.mark_unusable(fmt::format("{}; reopening failed: {}", reason, connection.error()));
        return;
    }
    install(handler, std::move(*connection));
    spdlog::warn("Device reopened after a failed reboot");
}

/// `identity`: what identified the board before it was told to reboot.
int reopen(Handler& handler, const BoardIdentity& identity) {
    const auto& t = handler.timing();
    const auto old_path = handler.path();
    // No read may hold the connection: the one in flight ends at once.
    handler.suspend_reads();
    handler.release_connection();
    if (!poll_until([&] { return !listed(handler); }, t.close_poll, t.close_timeout, [] {})) {
        spdlog::error("Timeout closing device");
        reopen_or_give_up(handler, "Timeout closing device");
        return 1;
    }
    spdlog::info("Device closed");
    std::optional<std::string> found;
    if (!poll_until([&] { return (found = find_again(handler, old_path, identity)).has_value(); }, t.open_poll,
                    t.open_timeout, [] {})) {
        spdlog::error("Timeout open device");
        handler.mark_unusable("Timeout open device");
        return 1;
    }
    if (*found != old_path) {
        spdlog::info("Device {} ({}) is back as {}", old_path,
                     identity.address  ? *identity.address
                     : identity.serial ? fmt::format("serial number {:08X}", *identity.serial)
                                       : std::string("?"),
                     *found);
        handler.set_path(*found);
    }
    std::this_thread::sleep_for(t.reopen_settle);
    auto connection = Connection::open(handler.backend(), *found, handler.module());
    if (!connection) {
        spdlog::error("Failed to open device after reboot {}", connection.error());
        handler.mark_unusable("Failed to open device after reboot " + connection.error());
        return 1;
    }
    install(handler, std::move(*connection));
    spdlog::info("Reboot finished\n");
    return 0;
}

}  // namespace

std::optional<uint32_t> boot_image_address(std::string_view mode) {
    constexpr std::array<std::pair<std::string_view, uint32_t>, 4> images{
        {{"bootloader", 0x000000}, {"rhd", 0x300000}, {"rhs", 0x700000}, {"np", 0xB00000}}};
    for (const auto& [name, address] : images) {
        if (name == mode) return address;
    }
    return std::nullopt;
}

void initialise(Handler& handler) {
    try {
        const auto status = try_read_status_map(handler);
        if (!status) {
            spdlog::error("Cannot Get Status, skipping FPGA initialization");
            return;
        }
        const auto& mode = status->at("Mode");
        if (mode == "bootloader") {
            spdlog::info("Device in bootloader mode, skipping FPGA initialization");
            return;
        }
        if (mode == "np") {
            spdlog::info("Neuropixels mode detected, skipping rhythm initialization");
            return;
        }
        if (status->at("API") == "0") {
            spdlog::error("Legacy firmware detected. Most features will not work. Please update the firmware.");
            return;
        }
        set_port_enables(handler, mode);
        reset_pipeline(handler);
        clear_overflow(handler);
    } catch (const std::exception& e) {
        spdlog::error("FPGA initialization failed: {}", e.what());
    }
}

int reboot(Handler& handler, std::string_view mode) {
    spdlog::info("Start reboot\n");
    const auto image = boot_image_address(mode);
    if (!image) throw std::runtime_error("Unknown Boot Mode\n");
    // No read may span the board's departure: the read in flight ends (and
    // no new one starts) before the board is told to reconfigure.
    handler.suspend_reads();
    const auto identity = identify(handler);
    try {
        send_reboot(handler, *image);
    } catch (const std::exception& e) {
        spdlog::error("Failed to send reboot {}", e.what());
        handler.resume_reads();
        return 1;
    }
    try {
        return reopen(handler, identity);
    } catch (const std::exception& e) {
        spdlog::error("Reboot failed: {}", e.what());
        if (!handler.connected()) handler.mark_unusable(std::string("Reboot failed: ") + e.what());
        return 1;
    }
}

}  // namespace pelio::xdma
