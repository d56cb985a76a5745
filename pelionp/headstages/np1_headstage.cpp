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
    Serializer& serializer = link.serializer;
    if (auto r = link.set_input_mode(false); !r) return failed("Failed to set input mode: ", r.error());
    if (auto r = serializer.set_input_edge(true); !r) return failed("Failed to set input edge: ", r.error());
    if (auto r = iic_write(serializer, GPIO_ENABLE_REG, {GPIO_ENABLE}); !r) {
        return failed("Failed to set serializer register 0x0E: ", r.error());
    }
    if (auto r = iic_write(serializer, GPIO_VALUE_REG, {GPIO_LED_ON}); !r) {
        return failed("Failed to set serializer register 0x0F: ", r.error());
    }
    auto part_number = readHSPN(serializer);
    if (!part_number) return failed("Failed to read part number: ", part_number.error());
    return Headstage(serializer, std::move(*part_number));
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
    auto written = iic_write(serializer, GPIO_VALUE_REG, {on ? GPIO_LED_ON : GPIO_LED_OFF});
    if (!written) spdlog::error("Failed to set serializer register 0x0F: {}", written.error());
}

}  // namespace pelionp::NP1
