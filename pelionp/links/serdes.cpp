#include "pelionp/links/serdes.h"

#include <chrono>
#include <thread>

#include <fmt/format.h>

namespace pelionp {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t SER_MODE = 0x04;
constexpr uint8_t SER_CONTROL = 0x05;
constexpr uint8_t SER_PREEMPHASIS = 0x06;
constexpr uint8_t SER_INPUT = 0x07;
constexpr uint8_t CHIP_ID = 0x1E;
constexpr uint8_t DES_LOCK = 0x04;

constexpr uint8_t SERIALIZER_ID = 9;
constexpr uint8_t DESERIALIZER_ID = 0x0A;
constexpr int FORCE_LINK_ATTEMPTS = 10;
constexpr auto FORCE_LINK_PAUSE = 10ms;

std::vector<uint8_t> address_bytes(EEPROMAddress address) {
    return std::visit(
        [](auto a) -> std::vector<uint8_t> {
            if constexpr (sizeof(a) == 1)
                return {a};
            else
                return {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF)};
        },
        address);
}

// Runs `access` in I2C register mode; leaving the mode must succeed for the
// access's outcome to count. The port's sequence lock keeps other threads'
// transactions (a probe's, which would reach its chip without the register
// byte) out of the window.
template <typename Access>
auto in_register_mode(const Serializer& serializer, Access&& access) -> decltype(access()) {
    const auto window = serializer.port.lock_sequence();
    if (!serializer.set_i2c_register_mode(true)) {
        // NB: the mode write may have landed although its reply did not
        // come; leaving the mode on would strip every later frame.
        (void)serializer.set_i2c_register_mode(false);
        return std::unexpected("Failed to set i2c register mode");
    }
    auto outcome = access();
    if (!serializer.set_i2c_register_mode(false)) return std::unexpected("Failed to unset i2c register mode");
    return outcome;
}

// Link mode bit with the bare transaction message on failure.
std::expected<bool, std::string> read_link_mode(const Serializer& serializer) {
    auto mode = iic_read(serializer, SER_MODE, 1);
    if (!mode) return std::unexpected(std::move(mode.error()));
    return ((*mode)[0] & 0x80) != 0;
}

}  // namespace

std::expected<void, std::string> Serializer::detect_device() const {
    auto id = iic_read(*this, CHIP_ID, 1);
    if (!id) return std::unexpected(std::move(id.error()));
    if ((*id)[0] != SERIALIZER_ID)
        return std::unexpected(fmt::format("Serializer device id does not match. got {} != 9", (*id)[0]));
    return {};
}

std::expected<void, std::string> Serializer::set_i2c_register_mode(bool on) const {
    return iic_set_bits(*this, SER_CONTROL, on ? 0x80 : 0x00, 0x80);
}

std::expected<void, std::string> Serializer::set_input_edge(bool edge) const {
    return iic_set_bits(*this, SER_INPUT, edge ? 0x10 : 0x00, 0x10);
}

std::expected<void, std::string> Serializer::set_preemphasis(Preemphasis code) const {
    return iic_write(*this, SER_PREEMPHASIS, {static_cast<uint8_t>(static_cast<uint8_t>(code) | 0x80)});
}

std::expected<std::vector<uint8_t>, std::string> Serializer::eeprom_read(uint8_t device, EEPROMAddress address,
                                                                         std::size_t count) const {
    return in_register_mode(*this, [&]() -> std::expected<std::vector<uint8_t>, std::string> {
        if (auto written = port.write(device, 0, address_bytes(address)); !written)
            return std::unexpected(std::move(written.error()));
        return port.read(device, 0, count);
    });
}

std::expected<void, std::string> Serializer::eeprom_write(uint8_t device, EEPROMAddress address,
                                                          std::vector<uint8_t> data) const {
    auto frame = address_bytes(address);
    frame.insert(frame.end(), data.begin(), data.end());
    return in_register_mode(*this, [&] { return port.write(device, 0, std::move(frame)); });
}

std::expected<Deserializer, std::string> Deserializer::init(const PortIIC& port) {
    Deserializer deserializer(port);
    static constexpr std::pair<uint8_t, uint8_t> INIT[] = {{0x04, 0x07}, {0x05, 0x18}, {0x07, 0x00},
                                                            {0x03, 0x00}, {0x02, 0x1F}, {0x08, 0x00}};
    for (const auto& [reg, value] : INIT) {
        if (auto written = iic_write(deserializer, reg, {value}); !written)
            return std::unexpected(std::move(written.error()));
    }
    auto id = iic_read(deserializer, CHIP_ID, 1);
    if (!id) return std::unexpected(std::move(id.error()));
    if (id->size() != 1) return std::unexpected("Failed to read deserializer ID register");
    if ((*id)[0] != DESERIALIZER_ID) return std::unexpected(fmt::format("Unexpected deserializer ID {}", (*id)[0]));
    return deserializer;
}

std::expected<bool, std::string> Deserializer::is_locked() const {
    auto status = iic_read(*this, DES_LOCK, 1);
    if (!status) return std::unexpected(std::move(status.error()));
    return ((*status)[0] & 0x80) != 0;
}

std::expected<bool, std::string> is_data_link(const Serializer& serializer) {
    auto mode = read_link_mode(serializer);
    if (!mode) return std::unexpected("Read error while checking link: " + mode.error());
    return *mode;
}

std::expected<void, std::string> try_force_link(const Serializer& serializer, bool data_link) {
    if (auto mode = is_data_link(serializer); mode && *mode == data_link) return {};

    const auto command = static_cast<uint8_t>((data_link ? 2 : 1) * 64 + 3);  // 0x83 data, 0x43 configuration
    for (int attempt = 0; attempt < FORCE_LINK_ATTEMPTS; ++attempt) {
        if (iic_write(serializer, SER_MODE, {command})) break;
        std::this_thread::sleep_for(FORCE_LINK_PAUSE);
    }
    std::this_thread::sleep_for(FORCE_LINK_PAUSE);

    // NB: both prefixes stay: is_data_link's own, then this step's.
    auto mode = is_data_link(serializer);
    if (!mode) return std::unexpected("Read error while switching link: " + mode.error());
    if (*mode != data_link) return std::unexpected("Failed to switch link");
    return {};
}

}  // namespace pelionp
