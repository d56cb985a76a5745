#include "pelionp/probes/np2/np2_probe_base.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "pelionp/decoders/gain.h"
#include "pelionp/probes/np2/gain_calibration.h"
#include "pelionp/probes/np2/selection.h"

namespace pelionp::NP2 {

namespace {

std::expected<std::vector<uint8_t>, std::string> probe_read(NP2ProbeBase& probe, uint8_t reg, std::size_t count) {
    return probe.iic.read(NP2ProbeBase::DEVICE_ADDR, reg, count);
}

std::expected<void, std::string> probe_write(NP2ProbeBase& probe, uint8_t reg, std::vector<uint8_t> data) {
    return probe.iic.write(NP2ProbeBase::DEVICE_ADDR, reg, data);
}

std::expected<uint8_t, std::string> probe_read_byte(NP2ProbeBase& probe, uint8_t reg) {
    auto bytes = probe_read(probe, reg, 1);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->size() != 1) return std::unexpected(fmt::format("short read of probe register 0x{:02X}", reg));
    return bytes->front();
}

// Bytes of one I2C write transaction to a chain.
constexpr std::size_t SR_TRANSACTION_BYTES = 250;

std::expected<void, std::string> write_chain_pass(NP2ProbeBase& probe, uint8_t chain,
                                                  std::span<const uint8_t> bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += SR_TRANSACTION_BYTES) {
        const auto piece = bytes.subspan(at, std::min(SR_TRANSACTION_BYTES, bytes.size() - at));
        if (auto w = probe_write(probe, chain, {piece.begin(), piece.end()}); !w) return w;
    }
    return {};
}

}  // namespace

demux::SID np2_stream_id(int port, Dock dock) {
    const auto sid = demux::sid_of(port, dock == Dock::DOCK0 ? 0 : 1, demux::StreamKind::NP2);
    if (!sid) throw std::runtime_error("Invalid port for NP2 probe");
    return *sid;
}

namespace {

constexpr std::array<float, PROBE_CHANNEL_COUNT> UNIT_GAINS = [] {
    std::array<float, PROBE_CHANNEL_COUNT> unit{};
    unit.fill(1.0f);
    return unit;
}();

}  // namespace

NP2ProbeBase::NP2ProbeBase(ProbeIIC iic_, ProbeInfo info_)
    : iic(std::move(iic_)),
      info(std::move(info_)),
      stream_(np2_stream_id(iic.port.port(), iic.dock), UNIT_GAINS, QUEUE_MAX_ELEMENTS) {}

NP2ProbeBase::~NP2ProbeBase() = default;

float NP2ProbeBase::gain_factor(std::size_t channel) const noexcept { return stream_.gain(channel); }

std::expected<void, std::string> upload_sr_block(NP2ProbeBase& probe, uint8_t chain, std::span<const uint8_t> bytes,
                                                 bool readcheck) {
    spdlog::debug("Uploading SR block to probe at address {:02X}, size: {}", chain, bytes.size());
    const auto length = bytes.size();
    if (auto w = probe_write(probe, reg::SR_LENGTH_LOW, {static_cast<uint8_t>(length & 0xFF)}); !w)
        return std::unexpected(fmt::format("Failed to write SR chain length low byte: {}", w.error()));
    if (auto w = probe_write(probe, reg::SR_LENGTH_HIGH, {static_cast<uint8_t>((length >> 8) & 0xFF)}); !w)
        return std::unexpected(fmt::format("Failed to write SR chain length high byte: {}", w.error()));
    if (auto w = write_chain_pass(probe, chain, bytes); !w)
        return std::unexpected(fmt::format("Failed to write SR chain {}", w.error()));
    if (!readcheck) return {};
    // The second pass shifts the first one out through the chip's
    // comparator, which reports the result in SR_OUT_OK.
    if (auto w = write_chain_pass(probe, chain, bytes); !w)
        return std::unexpected(fmt::format("Failed to write SR chain {} with verify", w.error()));
    auto status = probe_read_byte(probe, reg::STATUS);
    if (!status) return std::unexpected(fmt::format("Failed to read SR readback status: {}", status.error()));
    if (!(*status & STATUS_SR_OUT_OK))
        return std::unexpected(fmt::format("SR configuration failed, SR_OUT_OK != 1 Status={:02X}", *status));
    return {};
}

BaseShiftRegisterConfigResult NP2ProbeBase::apply_base_shift_register_config(ChannelConfigs channels,
                                                                             bool readcheck) {
    const BaseImages blocks = serialize_for_sr(channels);
    BaseShiftRegisterConfigResult result;
    result.even = upload_sr_block(*this, reg::SR_CHAIN_BASE_EVEN, blocks[0], readcheck);
    result.odd = upload_sr_block(*this, reg::SR_CHAIN_BASE_ODD, blocks[1], readcheck);
    return result;
}

bool NP2ProbeBase::setStdb(uint16_t channel, bool standby) { return set_standby(channel_config, channel, standby); }

bool NP2ProbeBase::setOPMODE(probe_opmode_t mode) {
    const auto index = static_cast<int32_t>(mode);
    if (index < 0 || index > 3) {
        spdlog::error("invalid opmode parameter : {}", index);
        return false;
    }
    spdlog::debug("Setting OP mode to {}", NP1::to_string(mode));
    const uint8_t rec = mode == probe_opmode_t::DIGITAL_TEST ? REC_MODE_DIGITAL_TEST : REC_MODE_NORMAL;
    if (auto w = probe_write(*this, reg::REC_MODE, {rec}); !w) {
        spdlog::error("Failed to write REC_MODE register: {}", w.error());
        return false;
    }
    if (auto w = probe_write(*this, reg::OP_MODE, {OP_MODE_BYTES[index]}); !w) {
        spdlog::error("Failed to write OP_MODE register: {}", w.error());
        return false;
    }
    return true;
}

bool NP2ProbeBase::setCALMODE(testinputmode_t mode) {
    spdlog::debug("Setting calibration mode to {}", static_cast<int32_t>(mode));
    auto current = probe_read_byte(*this, reg::CAL_MODE);
    if (!current) {
        spdlog::error("Failed to read CAL_MODE register: {}", current.error());
        return false;
    }
    uint8_t value = *current & static_cast<uint8_t>(~CAL_MODE_ROUTING_MASK);
    switch (mode) {
        case testinputmode_t::PIXEL_MODE:
            value |= CAL_MODE_PIXEL;
            spdlog::info("Setting calibration mode to PIXEL_MODE ");
            break;
        case testinputmode_t::CHANNEL_MODE:
            value |= CAL_MODE_CHANNEL;
            spdlog::info("Setting calibration mode to CHANNEL_MODE");
            break;
        case testinputmode_t::NONE: spdlog::info("Setting calibration mode to NONE"); break;
        default:
            spdlog::error("invalid parameter mode in ProbeControl::setCALMODE: {}", static_cast<int32_t>(mode));
            return false;
    }
    if (auto w = probe_write(*this, reg::CAL_MODE, {value}); !w) {
        spdlog::error("Failed to write CAL_MODE register: {}", w.error());
        return false;
    }
    return true;
}

bool NP2ProbeBase::setTestConfig(bool on) {
    if (auto w = probe_write(*this, reg::TEST_CONFIG1, {static_cast<uint8_t>(on ? 1 : 0)}); !w) {
        spdlog::error("Failed to write TEST_CONFIG1 register: {}", w.error());
        return false;
    }
    return true;
}

bool NP2ProbeBase::bist_iic() {
    for (uint8_t pattern : {uint8_t{0xFF}, uint8_t{0xAB}, uint8_t{0x55}, uint8_t{0x00}}) {
        if (auto w = probe_write(*this, reg::SYNC, {pattern}); !w) {
            spdlog::error("Failed to write SYNC register: {}", w.error());
            return false;
        }
        auto back = probe_read_byte(*this, reg::SYNC);
        if (!back) return false;
        if (*back != pattern) {
            spdlog::debug("I2C BIST failed. Wrote {:02X}, read {:02X}", pattern, *back);
            return false;
        }
    }
    return true;
}

std::expected<void, std::string> NP2ProbeBase::load_gain_calibration(std::istream& stream) {
    auto table = read_gain_calibration(stream);
    if (!table) return std::unexpected(table.error());
    stream_.set_gains(*table);
    return {};
}

}  // namespace pelionp::NP2
