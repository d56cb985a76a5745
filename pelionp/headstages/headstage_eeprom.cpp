#include "pelionp/headstages/headstage_eeprom.h"

#include <array>
#include <vector>

#include <fmt/format.h>

namespace pelionp {

std::string decode_hs_part_number(std::span<const uint8_t> field) {
    std::string text;
    for (const uint8_t byte : field) {
        if (byte == 0) break;
        text.push_back(byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '?');
    }
    return text;
}

std::expected<std::string, std::string> read_hs_part_number(Serializer& serializer,
                                                            const HeadstageEepromLayout& layout) {
    auto bytes = serializer.eeprom_read(HS_EEPROM_ADDR, layout.part_number, layout.part_number_length);
    if (!bytes) return std::unexpected(bytes.error());
    return decode_hs_part_number(*bytes);
}

std::expected<void, std::string> bist_hs_eeprom(Serializer& serializer, const HeadstageEepromLayout& layout) {
    const auto read_cell = [&]() -> std::expected<uint8_t, std::string> {
        auto bytes = serializer.eeprom_read(HS_EEPROM_ADDR, layout.test_cell, 1);
        if (!bytes) return failed("Failed to read EEPROM: ", bytes.error());
        if (bytes->size() != 1) return failed("Failed to read EEPROM: ", "short read");
        return bytes->front();
    };
    const auto write_cell = [&](uint8_t value) -> std::expected<void, std::string> {
        auto written = serializer.eeprom_write(HS_EEPROM_ADDR, layout.test_cell, std::vector<uint8_t>{value});
        if (!written) return failed("Failed to write EEPROM: ", written.error());
        return {};
    };
    const auto check_pattern = [&](uint8_t pattern) -> std::expected<void, std::string> {
        if (auto written = write_cell(pattern); !written) return written;
        const auto read = read_cell();
        if (!read) return std::unexpected(read.error());
        if (*read != pattern) {
            return std::unexpected(fmt::format("EEPROM readback mismatch: wrote {:02X}, read {:02X}", pattern, *read));
        }
        return {};
    };

    const auto saved = read_cell();
    if (!saved) return std::unexpected(saved.error());
    std::expected<void, std::string> result;
    for (const uint8_t pattern : std::array<uint8_t, 3>{0x55, 0xAA, 0xFF}) {
        result = check_pattern(pattern);
        if (!result) break;
    }
    const auto restored = write_cell(*saved);
    if (!result) return result;
    return restored;
}

}  // namespace pelionp
