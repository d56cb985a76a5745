// Operating modes, test signal and self tests of an NP1 probe: each talks to
// the probe at once and leaves the in-memory configuration alone.
#include <array>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "pelionp/probes/np1/probe.h"

namespace pelionp::NP1 {

bool Probe::setOPMODE(probe_opmode_t mode) {
    const auto byte = op_mode_byte(mode);
    if (!byte) {
        spdlog::error("invalid opmode parameter : {}", static_cast<int32_t>(mode));
        return false;
    }
    spdlog::debug("Setting OP mode to {} (NP_Probe_Control_Module::setOPMODE)", to_string(mode));
    if (auto w = iic_write(*this, ProbeChip::OP_MODE, {*byte}); !w) {
        spdlog::error("Failed to write OP_MODE register: {}", w.error());
        return false;
    }
    return true;
}

bool Probe::setCALMODE(testinputmode_t mode) {
    const auto bits = cal_mode_bits(mode);
    if (!bits) {
        spdlog::error("invalid parameter mode: {}", static_cast<int32_t>(mode));
        return false;
    }
    spdlog::debug("Setting calibration mode to {}", to_string(mode));
    if (auto w = iic_set_bits(*this, ProbeChip::CAL_MODE, *bits, ProbeChip::CAL_MODE_INPUT_MASK); !w) {
        spdlog::error("Failed to set CAL_MODE register: {}", w.error());
        return false;
    }
    return true;
}

bool Probe::setTestConfig(bool on) {
    if (auto w = iic_write(*this, ProbeChip::TEST_CONFIG1, {static_cast<uint8_t>(on ? 1 : 0)}); !w) {
        spdlog::error("Failed to write TEST_CONFIG1 register: {}", w.error());
        return false;
    }
    return true;
}

bool Probe::setTestSignal(bool on) {
    spdlog::info(on ? "Turning on test signal in NP1 Probe" : "Turning off test signal in NP1 Probe");
    if (auto w = iic_set_bits(*this, ProbeChip::CAL_MODE, on ? ProbeChip::OSC_STDB : 0, ProbeChip::OSC_STDB); !w) {
        spdlog::error("Failed to set test signal: {}", w.error());
        return false;
    }
    return true;
}

bool Probe::bist_iic() {
    for (uint8_t pattern : {0xFF, 0xAB, 0x55, 0x00}) {
        if (auto w = iic_write(*this, ProbeChip::SYNC, {pattern}); !w) {
            spdlog::error("Failed to write SYNC register: {}", w.error());
            return false;
        }
        auto r = iic_read(*this, ProbeChip::SYNC, 1);
        if (!r) {
            spdlog::error("Failed to read SYNC register: {}", r.error());
            return false;
        }
        if (r->at(0) != pattern) {
            spdlog::debug("I2C BIST failed. Wrote {:02X}, read {:02X}", pattern, r->at(0));
            return false;
        }
    }
    return true;
}

int Probe::bist_PSB() {
    constexpr std::array<std::pair<uint8_t, uint8_t>, 8> writes{{
        {ProbeChip::REC_MODE, 0xD0},
        {0x02, 0x00},
        {0x03, 0x00},
        {0x04, 0x00},
        {0x05, 0x00},
        {0x06, 0x00},
        {0x07, 0x00},
        {ProbeChip::OP_MODE, 0x50},  // digital test
    }};
    for (auto [reg, value] : writes) {
        if (auto w = iic_write(*this, reg, {value}); !w) {
            spdlog::error("Failed to write to probe register [{:02X}]: {}", reg, w.error());
            return -1;
        }
    }
    return 0;
}

// The three sequences below report their steps' failures through the steps'
// own error logs; their result is fixed.
int Probe::bist_channel() {
    spdlog::info("2.Enable the HS oscillator: set the OSC_STDB bit in the CAL_MOD register to 1.");
    setTestSignal(true);
    spdlog::info("3.Set the PIX_CAL bit in the CAL_MOD register to 1.");
    setCALMODE(testinputmode_t::CHANNEL_MODE);
    setOPMODE(probe_opmode_t::CALIBRATION);
    return 0;
}

int Probe::bist_pixel() {
    spdlog::info("2.Enable the HS oscillator: set the OSC_STDB bit in the CAL_MOD register to 1.");
    setTestSignal(true);
    spdlog::info("3.Set the PIX_CAL bit in the CAL_MOD register to 1.");
    setCALMODE(testinputmode_t::PIXEL_MODE);
    spdlog::info("4+5.Set the CAL bit in the OP_MODE register to 1. Set the REC bit in the OP_MODE register to 1");
    setOPMODE(probe_opmode_t::CALIBRATION);
    return 0;
}

int Probe::bist_off() {
    spdlog::info("2.Disable the HS oscillator");
    setTestSignal(false);
    setCALMODE(testinputmode_t::NONE);
    setOPMODE(probe_opmode_t::RECORDING);
    return 0;
}

Probe::ShiftRegisterConfigResult Probe::bist_shift_register() {
    std::array<uint8_t, SHANKCONFIGURATION_SIZE> pattern{};
    std::fill(pattern.begin() + 36, pattern.begin() + 85, uint8_t{0xFF});
    ShiftRegisterConfigResult result;
    result.shank = write_sr_chain(*this, ProbeChip::SR_CHAIN1, pattern, false);
    result.base0 = write_sr_chain(*this, ProbeChip::SR_CHAIN_BASE_EVEN_CHANNELS, base_config[0], true);
    result.base1 = write_sr_chain(*this, ProbeChip::SR_CHAIN_BASE_ODD_CHANNELS, base_config[1], true);
    return result;
}

}  // namespace pelionp::NP1
