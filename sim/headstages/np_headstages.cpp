#include "sim/headstages/np_headstages.h"

#include <algorithm>
#include <vector>

#include "sim/headstages/placeholder_sources.h"

namespace pelionp::sim {
namespace {

std::shared_ptr<EepromChip> part_number_eeprom(std::size_t address_bytes, std::size_t size, std::size_t offset,
                                               std::size_t field, std::string_view part_number) {
    auto eeprom = std::make_shared<EepromChip>(address_bytes, size);
    std::vector<uint8_t> bytes(field, 0);
    std::copy_n(part_number.begin(), std::min(field, part_number.size()), bytes.begin());
    eeprom->load(offset, bytes);
    return eeprom;
}

}  // namespace

std::shared_ptr<Headstage> make_np1_headstage(std::string_view part_number) {
    auto headstage = std::make_shared<Headstage>(false);
    headstage->bus().attach(HS_EEPROM_ADDRESS, part_number_eeprom(1, 256, 0x0A, 20, part_number));
    headstage->set_stream_source(0, make_placeholder_np1_source());
    return headstage;
}

std::shared_ptr<Headstage> make_np2_headstage(std::string_view part_number) {
    auto headstage = std::make_shared<Headstage>(true);
    headstage->bus().attach(HS_EEPROM_ADDRESS, part_number_eeprom(2, 8192, 0x000A, 32, part_number));
    headstage->bus().attach(NP2_MARKER_ADDRESS, std::make_shared<EepromChip>(1, 256));
    headstage->set_stream_source(0, make_placeholder_np2_source());
    headstage->set_stream_source(1, make_placeholder_np2_source());
    return headstage;
}

EepromChip* headstage_eeprom(Headstage& headstage) {
    return dynamic_cast<EepromChip*>(headstage.bus().find(HS_EEPROM_ADDRESS));
}

bool np1_led_lit(Headstage& headstage) { return (headstage.serializer().peek(0x0F) & 0x02) == 0; }

}  // namespace pelionp::sim
