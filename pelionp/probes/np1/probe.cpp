#include "pelionp/probes/np1/probe.h"

#include <array>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP1 {
namespace {

// Control registers zeroed by init, in this order.
constexpr uint8_t INIT_ZEROED_REGISTERS[] = {0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x09};
constexpr uint8_t REC_MODE_RESET_RELEASE = 0x10;
constexpr int REC_MODE_ATTEMPTS = 3;

// The corrections as the probe holds them now.
std::array<float, ProbeConfiguration::PROBE_CHANNEL_COUNT> snapshot(
    const std::array<std::atomic<float>, ProbeConfiguration::PROBE_CHANNEL_COUNT>& corrections) {
    std::array<float, ProbeConfiguration::PROBE_CHANNEL_COUNT> out;
    for (std::size_t c = 0; c < out.size(); ++c) out[c] = corrections[c].load(std::memory_order_relaxed);
    return out;
}

std::unexpected<std::string> with_context(std::string_view context, const std::string& message) {
    return std::unexpected(std::string(context) + message);
}

}  // namespace

demux::SID Probe::stream_of_port(int port) {
    const auto sid = demux::sid_of(port, 0, demux::StreamKind::NP1);
    if (!sid) throw std::runtime_error("Invalid port for NP1 probe");
    return *sid;
}

Probe::Probe(const PortIIC& port)
    : iic(port),
      stream_(stream_of_port(iic.port()), snapshot(ap_gain_correction), snapshot(lfp_gain_correction),
              QUEUE_MAX_ELEMENTS) {}

Probe::~Probe() = default;

void Probe::corrections_changed(int channel) {
    const auto c = static_cast<std::size_t>(channel);
    stream_.set_gain(c, ap_gain_correction[c].load(std::memory_order_relaxed),
                     lfp_gain_correction[c].load(std::memory_order_relaxed));
}

std::expected<std::unique_ptr<Probe>, std::string> Probe::init(Serializer& serializer) {
    std::unique_ptr<Probe> probe(new Probe(iic_route(serializer)));

    auto eeprom = serializer.eeprom_read(PROBE_EEPROM_ADDR, uint8_t{0}, NP1_PROBE_EEPROM.read_length);
    if (!eeprom) return with_context("Failed to read eeprom: ", eeprom.error());
    auto info = decode_probe_eeprom(*eeprom, NP1_PROBE_EEPROM);
    if (!info) return with_context("Failed to read eeprom: ", info.error());
    probe->info = std::move(*info);

    for (uint8_t reg : INIT_ZEROED_REGISTERS) {
        if (auto w = iic_write(*probe, reg, {0x00}); !w)
            return std::unexpected(fmt::format("Failed to write to probe register [{:02X}] {}", reg, w.error()));
    }

    auto rec = iic_read(*probe, ProbeChip::REC_MODE, 1);
    if (!rec) return with_context("Failed to read REC_MODE register: ", rec.error());
    uint8_t v = rec->at(0);
    if ((v & REC_MODE_RESET_RELEASE) == 0) {
        v |= REC_MODE_RESET_RELEASE;
        for (int attempt = 1;; ++attempt) {
            auto w = iic_write(*probe, ProbeChip::REC_MODE, {v});
            if (w) break;
            if (attempt == REC_MODE_ATTEMPTS)
                return with_context("Failed to write REC_MODE register after 3 attempts: ", w.error());
        }
    }
    for (uint8_t high : {uint8_t{0x20}, uint8_t{0xC0}}) {
        v = static_cast<uint8_t>((v & 0x1F) | high);
        if (auto w = iic_write(*probe, ProbeChip::REC_MODE, {v}); !w)
            return with_context("Failed to write REC_MODE register: ", w.error());
    }
    return probe;
}


}  // namespace pelionp::NP1
