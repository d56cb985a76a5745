// Shift-register upload of an NP1 probe.
#include <chrono>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "pelionp/probes/np1/image_bits.h"
#include "pelionp/probes/np1/probe.h"

namespace pelionp::NP1 {

std::expected<void, std::string> write_sr_chain(Probe& probe, uint8_t chain, std::span<const uint8_t> bytes,
                                                bool readcheck) {
    spdlog::debug("Uploading {} bytes to SR chain at address {:02X} with readcheck={}", bytes.size(), chain,
                  readcheck);
    // The chip compares what a pass shifts out with what it shifts in: two
    // identical passes make SR_OUT_OK report a clean chain.
    const int passes = readcheck ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        for (auto [reg, value] : {std::pair{ProbeChip::SR_LENGTH_HIGH, static_cast<uint8_t>(bytes.size() >> 8)},
                                  std::pair{ProbeChip::SR_LENGTH_LOW, static_cast<uint8_t>(bytes.size())}}) {
            if (auto w = iic_write(probe, reg, {value}); !w)
                return std::unexpected("Failed to write SR chain length: " + w.error());
        }
        // NB: one byte per transaction, as the chain port expects; an upload
        // therefore costs about 1345 transactions of >= 500 us each.
        for (uint8_t byte : bytes) {
            if (auto w = iic_write(probe, chain, {image_bits::reverse(byte)}); !w)
                return std::unexpected("Failed to write SR chain data: " + w.error());
        }
    }
    if (!readcheck) return {};
    auto status = iic_read(probe, ProbeChip::STATUS, 1);
    if (!status) return std::unexpected("Failed to read SR readback status: " + status.error());
    if ((status->at(0) & ProbeChip::SR_OUT_OK) == 0)
        return std::unexpected(fmt::format("SR configuration failed, SR_OUT_OK != 1 Status={:02X}", status->at(0)));
    return {};
}

Probe::ShiftRegisterConfigResult Probe::apply_shift_register_config(bool checkShank) {
    probe_updateconfigurationbits();
    const auto start = std::chrono::steady_clock::now();

    ShiftRegisterConfigResult result;
    spdlog::debug("start upload shank configuration on probe. SHANKCONFIGURATION_SIZE : {}", SHANKCONFIGURATION_SIZE);
    result.shank = write_sr_chain(*this, ProbeChip::SR_CHAIN1, shank_config, false);
    if (checkShank) spdlog::info("[ASIC Bug Workaround] readcheck on SR_CHAIN1 ignored {}", 0);

    spdlog::debug("start upload odd channel base configuration on probe. BASECONFIGURATION_SIZE : {}",
                  BASECONFIGURATION_SIZE);
    result.base0 = write_sr_chain(*this, ProbeChip::SR_CHAIN_BASE_EVEN_CHANNELS, base_config[0], true);
    spdlog::debug("start upload even channel base configuration on probe. BASECONFIGURATION_SIZE : {}",
                  BASECONFIGURATION_SIZE);
    result.base1 = write_sr_chain(*this, ProbeChip::SR_CHAIN_BASE_ODD_CHANNELS, base_config[1], true);

    // The ADC trims travel inside the base images; nothing else to send.
    spdlog::debug("start upload ADC calibration offset / threshold on probe.");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    spdlog::debug("Probe configuration upload finished in {} ms",
                  std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1'000'000);
    return result;
}

}  // namespace pelionp::NP1
