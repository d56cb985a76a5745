#pragma once
// The real link code against the simulated board: one UART over a Board,
// a headstage with a one-byte-addressed EEPROM at 0xA4 on port 0.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pelionp/links/port_iic.h"
#include "pelionp/links/uart.h"
#include "sim/board.h"
#include "sim/chips/eeprom.h"

namespace pelionp::test {

inline sim::Bytes bytes(std::initializer_list<int> values) {
    sim::Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

class SimLink : public ::testing::Test {
protected:
    SimLink() : uart(UART::init(board)), iic(0, uart) {
        headstage = std::make_shared<sim::Headstage>();
        eeprom = std::make_shared<sim::EepromChip>(1, 256);
        headstage->bus().attach(0xA4, eeprom);
        board.plug(0, headstage);
        board.record_frames(true);
    }

    ~SimLink() override { EXPECT_EQ(board.take_protocol_errors(), std::vector<std::string>{}); }

    /// Frames sent since the last call, then forgets them.
    std::vector<sim::FrameRecord> take_frames() {
        auto frames = board.frames();
        board.clear_frames();
        return frames;
    }

    sim::Board board;
    UART uart;
    PortIIC iic;
    std::shared_ptr<sim::Headstage> headstage;
    std::shared_ptr<sim::EepromChip> eeprom;
};

}  // namespace pelionp::test
