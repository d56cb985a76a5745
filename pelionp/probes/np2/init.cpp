#include "pelionp/probes/np2/init.h"

#include <algorithm>
#include <array>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP2 {

namespace {

constexpr std::array<std::string_view, 4> FOUR_SHANK_PARTS{"NP2010", "NP2013", "NP2014", "PRB2_4_2_0640_0"};
constexpr std::array<std::string_view, 4> SINGLE_SHANK_PARTS{"NP2000", "NP2003", "NP2004", "PRB2_1_2_0640_0"};

struct RegisterWrite {
    uint8_t reg;
    uint8_t value;
};
// Known state before recording: everything off, REC_MODE armed last.
constexpr std::array<RegisterWrite, 11> INIT_SEQUENCE{{
    {reg::OP_MODE, 0x00},
    {reg::REC_MODE, 0x08},
    {0x02, 0x00},
    {0x03, 0x00},
    {0x04, 0x00},
    {0x05, 0x00},
    {0x06, 0x00},
    {0x07, 0x00},
    {0x08, 0x00},
    {reg::REC_MODE, REC_MODE_NORMAL},
    {reg::OP_MODE, 0x00},
}};

std::expected<void, std::string> init_probe_registers(NP2ProbeBase& probe) {
    if (auto r = probe.iic.read(NP2ProbeBase::DEVICE_ADDR, reg::OP_MODE, 1); !r)
        return std::unexpected("Failed to read probe I2C address 0x00: " + r.error());
    for (const auto& step : INIT_SEQUENCE) {
        if (auto w = probe.iic.write(NP2ProbeBase::DEVICE_ADDR, step.reg, {step.value}); !w)
            return std::unexpected(fmt::format("Failed to write to probe register [{:02X}] {}", step.reg, w.error()));
    }
    // The probe is usable even if this last step fails; setOPMODE logs it.
    (void)probe.setOPMODE(probe_opmode_t::RECORDING);
    return {};
}

template <typename Probe>
std::expected<ProbeHandle, std::string> build(ProbeIIC iic, ProbeInfo info, const char* kind) {
    auto probe = std::make_unique<ProbeVariant>(std::in_place_type<Probe>, std::move(iic), std::move(info));
    if (auto ok = init_probe_registers(std::get<Probe>(*probe)); !ok) {
        spdlog::warn("Failed to initialize as {} probe: {}", kind, ok.error());
        return std::unexpected(fmt::format("Failed to initialize probe: {}", ok.error()));
    }
    return probe;
}

}  // namespace

std::optional<std::size_t> variant_index_of_part_number(std::string_view probe_pn) noexcept {
    if (std::ranges::find(FOUR_SHANK_PARTS, probe_pn) != FOUR_SHANK_PARTS.end()) return 1;
    if (std::ranges::find(SINGLE_SHANK_PARTS, probe_pn) != SINGLE_SHANK_PARTS.end()) return 0;
    return std::nullopt;
}

std::expected<ProbeHandle, std::string> init(Serializer& serializer, Dock dock) {
    spdlog::debug("Initializing probe...");
    ProbeIIC iic(dock, serializer.port);
    std::expected<std::vector<uint8_t>, std::string> image;
    {
        // The dock stays routed until its EEPROM is read: the other dock's
        // set-up on another thread would route the bus away in between.
        const auto sequence = serializer.port.lock_sequence();
        if (auto routed = iic.iic_control(); !routed) {
            return std::unexpected("Failed to set IIC control: " + routed.error());
        }
        image = serializer.eeprom_read(PROBE_EEPROM_ADDR, uint8_t{0}, NP2_PROBE_EEPROM.read_length);
    }
    if (!image) return std::unexpected(fmt::format("Failed to read eeprom: {}", image.error()));
    auto info = decode_probe_eeprom(*image, NP2_PROBE_EEPROM);
    if (!info) return std::unexpected(fmt::format("Failed to read eeprom: {}", info.error()));
    spdlog::debug("Probe information: serial={} version={}.{} flex_pn='{}' probe_pn='{}'", info->serial,
                  info->version_major, info->version_minor, info->flex_pn, info->probe_pn);

    switch (variant_index_of_part_number(info->probe_pn).value_or(2)) {
        case 1:
            spdlog::debug("Detected multi-shank NP2 probe, initializing...");
            return build<NP2013NP2014>(std::move(iic), std::move(*info), "multi-shank");
        case 0:
            spdlog::debug("Detected single-shank NP2 probe, initializing...");
            return build<NP2003NP2004>(std::move(iic), std::move(*info), "single-shank");
        default: return std::unexpected("Unknown probe part number: " + info->probe_pn);
    }
}

}  // namespace pelionp::NP2
