#include "pelionp/links/link_state.h"

#include <chrono>
#include <thread>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t REG_MODE = 0x04;     // both chips: serializer link mode / deserializer lock, PRBS bit 5
constexpr uint8_t REG_CONTROL = 0x05;  // serializer: register mode, PRBS pattern
constexpr uint8_t REG_INPUT = 0x07;    // both chips: input mode bit 7, EDC bits 1:0
constexpr uint8_t REG_PRBS_RESULTS = 0x10;

constexpr int LOCK_POLLS = 5;
constexpr auto LOCK_PAUSE = 10ms;
constexpr auto DETECT_PAUSE = 10ms;
constexpr int EDC_ATTEMPTS = 3;
constexpr auto EDC_PAUSE = 1ms;
constexpr int PRBS_STOP_ATTEMPTS = 5;
constexpr auto PRBS_STOP_PAUSE = 1ms;

std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

template <typename Chip>
std::expected<EDCMode, std::string> read_edc(const Chip& chip) {
    auto reg = iic_read(chip, REG_INPUT, 1);
    if (!reg) return fail(std::move(reg.error()));
    const int mode = (*reg)[0] & 0x3;
    if (mode == 3) return fail(fmt::format("Invalid EDC mode {}", mode));
    return static_cast<EDCMode>(mode);
}

template <typename Chip>
std::expected<void, std::string> force_edc(const Chip& chip, EDCMode mode) {
    std::string last;
    for (int attempt = 0; attempt < EDC_ATTEMPTS; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(EDC_PAUSE);
        if (auto written = iic_write(chip, REG_INPUT, {static_cast<uint8_t>(mode)}); !written) {
            last = std::move(written.error());
            continue;
        }
        std::this_thread::sleep_for(EDC_PAUSE);
        auto read_back = read_edc(chip);
        if (!read_back) {
            last = std::move(read_back.error());
            continue;
        }
        if (*read_back == mode) return {};
        last = fmt::format("Failed to set edc. Read reg7: 0x{:02x}", static_cast<int>(*read_back));
    }
    return fail(std::move(last));
}

// A switch whose mode write did not take: a serializer that no longer
// answers means the headstage is gone.
std::expected<void, std::string> after_failed_switch(SerDesState& state, const ConnectedSerDes& link,
                                                     std::string switch_error) {
    if (auto detected = link.serializer.detect_device(); !detected) {
        DisconnectedSerDes fallback(link.port, link.deserializer);
        state = fallback;
        return fail(std::move(detected.error()));
    }
    return fail(std::move(switch_error));
}

}  // namespace

std::expected<DisconnectedSerDes, std::string> DisconnectedSerDes::init(const PortIIC& port) {
    auto deserializer = Deserializer::init(port);
    if (!deserializer) return fail(std::move(deserializer.error()));
    return DisconnectedSerDes(port, *deserializer);
}

std::expected<void, std::string> try_make_connected(SerDesState& state, Preemphasis preemphasis) {
    const auto* disconnected = std::get_if<DisconnectedSerDes>(&state);
    if (!disconnected) return {};
    const PortIIC port = disconnected->port;
    const Deserializer deserializer = disconnected->deserializer;
    const Serializer serializer(port);

    (void)try_force_link(serializer, false);
    auto configured = iic_set_bits(serializer, REG_MODE, 0x00, 0x0C);
    if (configured) configured = iic_write(serializer, REG_CONTROL, {0x00});
    if (configured) configured = serializer.set_preemphasis(preemphasis);
    if (!configured) return fail("Failed to config serializer: " + configured.error());

    if (serializer.detect_device()) state = ConfigLinkedSerDes(port, deserializer, serializer);
    std::this_thread::sleep_for(DETECT_PAUSE);
    if (auto detected = serializer.detect_device(); !detected)
        return fail("Failed to detect serializer: " + detected.error());
    state = ConfigLinkedSerDes(port, deserializer, serializer);
    return {};
}

std::expected<void, std::string> switch_to_config_link(SerDesState& state) {
    if (std::holds_alternative<DisconnectedSerDes>(state)) return fail("SerDes not connected");
    if (std::holds_alternative<ConfigLinkedSerDes>(state)) return {};
    const DataLinkedSerDes link = std::get<DataLinkedSerDes>(state);

    if (auto forced = try_force_link(link.serializer, false); !forced)
        return after_failed_switch(state, link, std::move(forced.error()));
    state = ConfigLinkedSerDes(link.port, link.deserializer, link.serializer);
    return {};
}

bool recheck_link(SerDesState& state) {
    if (std::holds_alternative<DisconnectedSerDes>(state)) return true;
    const bool data_state = std::holds_alternative<DataLinkedSerDes>(state);
    const ConnectedSerDes& link = data_state ? static_cast<const ConnectedSerDes&>(std::get<DataLinkedSerDes>(state))
                                             : static_cast<const ConnectedSerDes&>(std::get<ConfigLinkedSerDes>(state));
    if (auto mode = is_data_link(link.serializer); mode && *mode == data_state) return true;
    DisconnectedSerDes fallback(link.port, link.deserializer);
    state = fallback;
    return false;
}

std::expected<void, std::string> switch_to_data_link(SerDesState& state) {
    if (std::holds_alternative<DisconnectedSerDes>(state)) return fail("SerDes not connected");
    if (std::holds_alternative<DataLinkedSerDes>(state)) return {};
    const ConfigLinkedSerDes link = std::get<ConfigLinkedSerDes>(state);

    if (auto forced = try_force_link(link.serializer, true); !forced)
        return after_failed_switch(state, link, std::move(forced.error()));

    for (int poll = 1; poll <= LOCK_POLLS; ++poll) {
        auto locked = link.deserializer.is_locked();
        if (!locked) return fail("Read error while checking lock: " + locked.error());
        if (*locked) {
            state = DataLinkedSerDes(link.port, link.deserializer, link.serializer);
            return {};
        }
        if (poll < LOCK_POLLS) std::this_thread::sleep_for(LOCK_PAUSE);
    }
    return fail("Timeout waiting for lock");
}

std::expected<void, std::string> ConfigLinkedSerDes::set_edc(EDCMode mode) const {
    auto deserializer_mode = read_edc(deserializer);
    if (!deserializer_mode) return fail(std::move(deserializer_mode.error()));
    if (*deserializer_mode != mode) {
        if (auto forced = force_edc(deserializer, mode); !forced) return forced;
    }
    // NB: a failed read of the serializer's mode is not an error; the forced
    // write below settles it either way.
    if (auto serializer_mode = read_edc(serializer); serializer_mode && *serializer_mode == mode) return {};
    return force_edc(serializer, mode);
}

std::expected<void, std::string> ConfigLinkedSerDes::set_input_mode(bool mode) const {
    const uint8_t value = mode ? 0x80 : 0x00;
    if (auto set = iic_set_bits(deserializer, REG_INPUT, value, 0x80); !set)
        return fail(fmt::format("Failed to set deserializer input mode: {}", set.error()));
    if (auto set = iic_set_bits(serializer, REG_INPUT, value, 0x80); !set)
        return fail(fmt::format("Failed to set serializer input mode: {}", set.error()));
    return {};
}

std::expected<void, std::string> DataLinkedSerDes::start_prbs(PRBS pattern) const {
    const auto code = static_cast<uint8_t>(pattern);
    spdlog::debug("Starting PRBS with mode {}", code);
    if (!iic_set_bits(serializer, REG_CONTROL, static_cast<uint8_t>(code * 16), 0x30))
        return fail("Failed to set PRBS mode at serializer");
    if (!iic_set_bits(deserializer, REG_MODE, 0x20, 0x20)) return fail("Failed to start PRBS at deserializer");
    if (!iic_set_bits(serializer, REG_MODE, 0x20, 0x20)) return fail("Failed to start PRBS at serializer");
    return {};
}

std::expected<int, std::string> DataLinkedSerDes::stop_prbs_and_get_error_count() const {
    auto status = iic_read(deserializer, REG_MODE, 1);
    if (!status) return fail(std::move(status.error()));
    if (!((*status)[0] & 0x20)) return fail("PRBS not started");
    spdlog::debug("Stopping PRBS and getting error count");

    bool generator_stopped = false;
    for (int attempt = 0; attempt < PRBS_STOP_ATTEMPTS && !generator_stopped; ++attempt) {
        generator_stopped = iic_write(serializer, REG_MODE, {0x83}).has_value();  // data link, generator off
        if (!generator_stopped) std::this_thread::sleep_for(PRBS_STOP_PAUSE);
    }
    if (!generator_stopped) return fail("Failed to stop PRBS at serializer");

    // Bit 5 reads as "checker running", so the check ends by clearing it;
    // the checker latches its results when it stops.
    if (!iic_set_bits(deserializer, REG_MODE, 0x00, 0x20)) return fail("Failed to stop PRBS at deserializer");

    auto results = iic_read(deserializer, REG_PRBS_RESULTS, 5);
    if (!results) return fail(std::move(results.error()));
    const auto& r = *results;
    spdlog::debug("PRBS results: Errors: {:02X} Corrected: {:02X} PRBS Errors: {:02X} PRBSOK: {:02X}", r[0], r[2], r[3],
                  r[4]);
    if (!(r[4] & 0x80)) return fail("PRBS test not completed");
    return static_cast<int>(r[3]);
}

}  // namespace pelionp
