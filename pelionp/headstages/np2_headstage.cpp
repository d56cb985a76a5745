#include "pelionp/headstages/np2_headstage.h"

#include <thread>
#include <vector>

#include "pelionp/headstages/headstage_eeprom.h"
#include "pelionp/headstages/probe_slots.h"
#include "pelionp/links/port_iic.h"

namespace pelionp::NP2 {
namespace {

using namespace std::chrono_literals;

std::expected<void, std::string> write_gpio(Serializer& serializer, uint8_t reg, uint8_t value) {
    return iic_write(serializer, reg, std::vector<uint8_t>{value});
}

}  // namespace

std::expected<Headstage, std::string> Headstage::init(ConfigLinkedSerDes& link) {
    Serializer& serializer = link.serializer;
    if (auto r = link.set_input_mode(true); !r) return failed("Failed to set input mode: ", r.error());
    if (auto r = serializer.set_input_edge(false); !r) return failed("Failed to set input edge: ", r.error());
    if (auto r = write_gpio(serializer, GPIO_VALUE_REG, GPIO_ALL_OFF); !r) {
        return failed("Failed to turn off all GPIOs: ", r.error());
    }
    if (auto r = write_gpio(serializer, GPIO_ENABLE_REG, GPIO_ENABLE); !r) {
        return failed("Failed to enable GPIO 1,2,3,4,5: ", r.error());
    }

    std::this_thread::sleep_for(10ms);
    // NB: the supplies come up in this order with these settling times; a
    // failed step is retried by nobody, it only waits a little longer.
    if (!write_gpio(serializer, GPIO_VALUE_REG, 0xC9)) {
        std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(30ms);
    }
    std::this_thread::sleep_for(30ms);
    if (!write_gpio(serializer, GPIO_VALUE_REG, 0xE9)) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(30ms);
    if (!write_gpio(serializer, GPIO_VALUE_REG, 0xED)) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(10ms);

    auto part_number = read_hs_part_number(serializer, NP2_HS_EEPROM);
    if (!part_number) return failed("Failed to read part number: ", part_number.error());
    return Headstage(serializer, std::move(*part_number));
}

Headstage::Headstage(const Serializer& serializer_, std::string part_number_)
    : serializer(serializer_), part_number(std::move(part_number_)) {}

Headstage::Headstage(Headstage&&) noexcept = default;
Headstage& Headstage::operator=(Headstage&&) noexcept = default;
Headstage::~Headstage() = default;

std::expected<void, std::string> Headstage::bist_eeprom() {
    return bist_hs_eeprom(serializer, NP2_HS_EEPROM);
}

}  // namespace pelionp::NP2
