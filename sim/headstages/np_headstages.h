#pragma once
// Neuropixels headstage models that plug into a port of the simulated board
// (`Board::plug`, hot plug and unplug at any time).
//
//   NP1  headstage EEPROM at 0xA4, one-byte addresses: part number at 0x0A
//        (20 bytes), self-test cell 0x40. LED on serializer GPIO 0x0F bit 1
//        (low = lit). The probe (EEPROM 0xA0, chip 0xE0) attaches to `bus()`.
//   NP2  headstage EEPROM at 0xA4, two-byte addresses: part number at
//        0x000A (32 bytes), self-test cell 0x0040; a device at 0xB4 that
//        marks the headstage as NP2; dock routing on serializer 0x0F bits 4
//        and 1, so each dock's probe (EEPROM 0xA0, chip 0x20) attaches to
//        `dock(0)` or `dock(1)` and answers only while routed.
//
// Both carry placeholder stream sources (sim/headstages/placeholder_sources.h)
// until a probe model replaces them with `Headstage::set_stream_source`.
// The NP2 docks answer only after their supplies came up in order (serializer
// GPIO 0x0F bits 3, 5, 2; see sim/headstage.h); the timing of the sequence
// is not modelled.
#include <memory>
#include <string_view>

#include "sim/chips/eeprom.h"
#include "sim/headstage.h"

namespace pelionp::sim {

inline constexpr uint8_t HS_EEPROM_ADDRESS = 0xA4;
inline constexpr uint8_t NP2_MARKER_ADDRESS = 0xB4;

std::shared_ptr<Headstage> make_np1_headstage(std::string_view part_number = "NP1_HS_30");
std::shared_ptr<Headstage> make_np2_headstage(std::string_view part_number = "NP2_HS_30");

/// The headstage EEPROM of a model made above (null if there is none);
/// it lives as long as the headstage.
EepromChip* headstage_eeprom(Headstage& headstage);
/// NP1 LED: serializer GPIO 0x0F bit 1 low.
bool np1_led_lit(Headstage& headstage);

}  // namespace pelionp::sim
