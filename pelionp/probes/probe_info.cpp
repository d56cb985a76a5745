#include "pelionp/probes/probe_info.h"

#include <algorithm>

#include <fmt/format.h>

namespace pelionp {
namespace {

std::string zero_terminated(std::span<const uint8_t> image, ProbeEepromLayout::Field field) {
    const auto bytes = image.subspan(field.offset, field.length);
    const auto end = std::ranges::find(bytes, uint8_t{0});
    return {bytes.begin(), end};
}

}  // namespace

std::expected<ProbeInfo, std::string> decode_probe_eeprom(std::span<const uint8_t> image,
                                                          const ProbeEepromLayout& layout) {
    if (image.size() < layout.read_length) {
        return std::unexpected(
            fmt::format("Probe EEPROM image too short: {} bytes, expected {}", image.size(), layout.read_length));
    }
    ProbeInfo info;
    for (std::size_t i = 0; i < 8; ++i) info.serial |= uint64_t{image[i]} << (8 * i);
    info.version_major = std::to_string(image[layout.version_major]);
    info.version_minor = std::to_string(image[layout.version_minor]);
    info.flex_pn = zero_terminated(image, layout.flex_pn);
    info.probe_pn = zero_terminated(image, layout.probe_pn);
    return info;
}

}  // namespace pelionp
