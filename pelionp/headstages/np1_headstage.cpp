#include "pelionp/headstages/np1_headstage.h"

#include <vector>

#include <spdlog/spdlog.h>

#include "pelionp/headstages/headstage_eeprom.h"
#include "pelionp/headstages/probe_slots.h"
#include "pelionp/links/port_iic.h"

namespace pelionp::NP1 {

std::expected<std::string, std::string> readHSPN(Serializer& serializer) {
    return read_hs_part_number(serializer, NP1_HS_EEPROM);
}

std::expected<Headstage, std::string> Headstage::init(ConfigLinkedSerDes& link) {
    const auto prefixed = [](const char* context) {
        return [context](const std::string& message) { return std::string(context) + message; };
    };
    Serializer serializer = link.serializer;
    return link.set_input_mode(false)
        .transform_error(prefixed("Failed to set input mode: "))
        .and_then([&] { return serializer.set_input_edge(true).transform_error(prefixed("Failed to set input edge: ")); })
        .and_then([&] {
            return iic_write(serializer, GPIO_ENABLE_REG, std::vector<uint8_t>{GPIO_ENABLE})
                .transform_error(prefixed("Failed to set serializer register 0x0E: "));
        })
        .and_then([&] {
            return iic_write(serializer, GPIO_VALUE_REG, std::vector<uint8_t>{GPIO_LED_ON})
                .transform_error(prefixed("Failed to set serializer register 0x0F: "));
        })
        .and_then([&] { return readHSPN(serializer).transform_error(prefixed("Failed to read part number: ")); })
        .transform([&](std::string part_number) { return Headstage(serializer, std::move(part_number)); });
}

Headstage::Headstage(const Serializer& serializer_, std::string part_number_)
    : serializer(serializer_), part_number(std::move(part_number_)) {}

Headstage::Headstage(Headstage&&) noexcept = default;
Headstage& Headstage::operator=(Headstage&&) noexcept = default;
Headstage::~Headstage() = default;

std::expected<void, std::string> Headstage::bist_eeprom() {
    return bist_hs_eeprom(serializer, NP1_HS_EEPROM);
}

void Headstage::setHSLed(bool on) {
    auto written = iic_write(serializer, GPIO_VALUE_REG, std::vector<uint8_t>{on ? GPIO_LED_ON : GPIO_LED_OFF});
    if (!written) spdlog::error("Failed to set serializer register 0x0F: {}", written.error());
}

}  // namespace pelionp::NP1
