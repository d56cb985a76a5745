#pragma once
// Register map of the Neuropixels 1.0 probe chip, I2C device 0xE0 on the
// port's bus. Plain constants shared by the probe model, its modes and its
// self tests.
#include <cstddef>
#include <cstdint>

namespace pelionp::NP1 {

struct ProbeChip {
    static constexpr uint8_t DEVICE_ADDR = 0xE0;

    static constexpr uint8_t OP_MODE = 0x00;
    static constexpr uint8_t REC_MODE = 0x01;
    static constexpr uint8_t CAL_MODE = 0x02;
    static constexpr uint8_t TEST_CONFIG1 = 0x03;
    static constexpr uint8_t STATUS = 0x08;
    static constexpr uint8_t SYNC = 0x09;

    /// Shift-register chain data ports. The base chains are named after the
    /// channel parity they carry (0x0D: channels 0, 2, ..., 382).
    static constexpr uint8_t SR_CHAIN_BASE_ODD_CHANNELS = 0x0C;
    static constexpr uint8_t SR_CHAIN_BASE_EVEN_CHANNELS = 0x0D;
    static constexpr uint8_t SR_CHAIN1 = 0x0E;  // shank configuration
    static constexpr uint8_t SR_LENGTH_HIGH = 0x0F;
    static constexpr uint8_t SR_LENGTH_LOW = 0x10;

    /// STATUS bit 7: the chain just written took its announced length and,
    /// with read check, the same image twice.
    static constexpr uint8_t SR_OUT_OK = 0x80;

    /// CAL_MODE bit 4: the test signal oscillator runs.
    static constexpr uint8_t OSC_STDB = 0x10;
    /// CAL_MODE bits 5..7: calibration input routing.
    static constexpr uint8_t CAL_MODE_INPUT_MASK = 0xE0;
};

}  // namespace pelionp::NP1
