#include "pelionp/probes/np1/probe.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace pelionp::NP1 {
namespace {

// Control registers zeroed by init, in this order.
constexpr uint8_t INIT_ZEROED_REGISTERS[] = {0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x09};
constexpr uint8_t REC_MODE_RESET_RELEASE = 0x10;
constexpr int REC_MODE_ATTEMPTS = 3;

constexpr int ADC_MIDSCALE = 512;

// NB: saturates instead of wrapping: a correction large enough to leave the
// 16-bit range (or a NaN handed to set_gain_calibrations) has no meaningful
// sample, and converting such a float to an integer is undefined.
int16_t corrected(uint16_t code, float correction) {
    const float v = static_cast<float>(ADC_MIDSCALE - static_cast<int>(code)) * correction;
    if (std::isnan(v)) return 0;
    return static_cast<int16_t>(std::clamp(v, -32768.0F, 32767.0F));
}

std::unexpected<std::string> with_context(std::string_view context, const std::string& message) {
    return std::unexpected(std::string(context) + message);
}

}  // namespace

demux::SID Probe::stream_of_port(int port) {
    if (port < 0 || port > 3) throw std::runtime_error("Invalid port for NP1 probe");
    return static_cast<demux::SID>(port);
}

Probe::Probe(const PortIIC& port)
    : iic(port), queue(std::make_shared<demux::ResettableQueue<electrodePacket>>()) {
    worker = std::make_unique<DemuxWorker>(
        stream_of_port(iic.port()), [this](APData d) { on_ap(d); }, [this](LPData l) { on_lfp(l); },
        [this] { reset_output(); });
}

Probe::~Probe() { worker.reset(); }

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

void Probe::on_ap(const APData& d) {
    auto& row = packet.ap[d.index];
    for (int c = 0; c < PROBE_CHANNEL_COUNT; ++c)
        row[c] = corrected(d.samples[c], ap_gain_correction[c].load(std::memory_order_relaxed));
    packet.timestamps[d.index] = d.timestamp;
    if (d.index != PROBE_SUPERFRAMESIZE - 1) return;

    if (!d.complete) {
        spdlog::warn("Dropping incomplete electrode packet at timestamp {:016X}", d.timestamp);
    } else if (queue->size_approx() >= QUEUE_MAX_ELEMENTS) {
        spdlog::warn("Queue is full, dropping packet at timestamp {:016X}", d.timestamp);
    } else if (!queue->enqueue(packet)) {
        spdlog::error("Failed to enqueue electrode packet, memory might be full at timestamp {:016X}", d.timestamp);
    }
}

void Probe::on_lfp(const LPData& l) {
    for (int c = 0; c < PROBE_CHANNEL_COUNT; ++c)
        packet.lfp[c] = corrected(l.samples[c], lfp_gain_correction[c].load(std::memory_order_relaxed));
}

void Probe::reset_output() {
    packet = electrodePacket{};
    queue->clear();
}

}  // namespace pelionp::NP1
