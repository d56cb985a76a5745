// The simulated board driven through raw registers and chip calls, as the
// wire formats describe them (no library code).
#include <gtest/gtest.h>

#include "sim/board.h"
#include "sim/chips/eeprom.h"

namespace pelionp::sim {
namespace {

Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

class RawBoard : public ::testing::Test {
protected:
    RawBoard() {
        headstage = std::make_shared<Headstage>(true);
        board.plug(1, headstage);
        board.record_frames(true);
    }

    /// Sends a frame with the transmitter held, then drains the reply.
    Bytes exchange(int port, const Bytes& frame) {
        board.set_register_sync(REG_UART_PORT_SELECT, static_cast<uint32_t>(port), 3);
        board.set_register_sync(REG_UART_TX_ENABLE, 0, 1);
        for (uint8_t b : frame) board.set_register_sync(REG_UART_DATA, b, 0xFFFFFFFF);
        EXPECT_EQ(board.get_register(REG_UART_TX_EMPTY), 0u);  // held
        board.set_register_sync(REG_UART_TX_ENABLE, 1, 1);
        EXPECT_EQ(board.get_register(REG_UART_TX_EMPTY), 1u);
        Bytes reply;
        while (board.get_register(REG_UART_RX_EMPTY) == 0) reply.push_back(static_cast<uint8_t>(board.get_register(REG_UART_DATA)));
        return reply;
    }

    /// Writes serializer register `reg` of port 1 and expects the ACK.
    void write_serializer(uint8_t reg, uint8_t value) {
        EXPECT_EQ(exchange(1, bytes({0x79, 0x80, reg, 1, value})), bytes({0xC3}));
    }

    /// The NP2 dock power-up: GPIO outputs off, enabled, then the dock
    /// supplies on bits 3, 5 and 2, one at a time.
    void power_docks() {
        write_serializer(0x0F, 0xC1);
        write_serializer(0x0E, 0x7E);
        for (uint8_t gpio : {0xC9, 0xE9, 0xED}) write_serializer(0x0F, gpio);
    }

    Board board;
    std::shared_ptr<Headstage> headstage;
};

TEST_F(RawBoard, BoardRegistersReadBackMaskedWrites) {
    board.set_register_sync(0x1400, 0xFFFF0003, 0xFFFFFFFF);
    board.set_register_sync(0x1400, 0x00000000, 0xFFFF0000);
    board.set_register_sync(0x1404, 0x80000, 0x80000);
    EXPECT_EQ(board.get_register_sync(0x1400), 0x3u);
    EXPECT_EQ(board.get_register_sync(0x1404), 0x80000u);
    board.poke(0x1408, 0x22);
    EXPECT_EQ(board.get_register_sync(0x1408), 0x22u);
    board.set_device_faults({.fail_fetch = true, .fail_send = false, .stream_start_throws = 0});
    EXPECT_EQ(board.get_register_sync(0x1400), std::nullopt);
}

TEST_F(RawBoard, BridgeAnswersReadsAndWritesOnTheSelectedPort) {
    EXPECT_EQ(exchange(1, bytes({0x79, 0x91, 0x1E, 1})), bytes({0xC3, 0x0A}));
    EXPECT_EQ(exchange(1, bytes({0x79, 0x81, 0x1E, 1})), bytes({0xC3, 9}));
    EXPECT_EQ(exchange(2, bytes({0x79, 0x81, 0x1E, 1})), bytes({0x3C, 0x00}));  // no headstage on port 2
    EXPECT_EQ(exchange(1, bytes({0x79, 0x90, 0x07, 2, 0x01, 0x02})), bytes({0xC3}));
    EXPECT_EQ(board.deserializer(1).peek(0x08), 0x02);
    EXPECT_EQ(exchange(1, bytes({0x79, 0x50, 0x00, 1, 0x00})), bytes({0x3C}));
    EXPECT_EQ(board.frames().size(), 5u);
    EXPECT_TRUE(board.take_protocol_errors().empty());
}

TEST_F(RawBoard, BytesWrittenWithTheTransmitterReleasedGoStraightOut) {
    board.set_register_sync(REG_UART_PORT_SELECT, 1, 3);
    for (int b : {0x79, 0x91, 0x1E, 1}) board.set_register_sync(REG_UART_DATA, static_cast<uint32_t>(b), 0xFFFFFFFF);
    EXPECT_EQ(board.get_register(REG_UART_RX_EMPTY), 0u);
    EXPECT_EQ(board.get_register(REG_UART_DATA), 0xC3u);
}

TEST_F(RawBoard, StrayBytesAndEmptyReadsAreProtocolErrors) {
    EXPECT_TRUE(exchange(0, bytes({0x42})).empty());
    EXPECT_EQ(board.get_register(REG_UART_DATA), 0u);
    EXPECT_EQ(board.take_protocol_errors(),
              (std::vector<std::string>{"port 0: byte 0x42 outside a frame", "read of the empty RX FIFO of port 0"}));
}

TEST_F(RawBoard, UartFaults) {
    board.set_uart_faults({.tx_stuck = false, .rx_bytes_per_reply = 1, .late_reply = std::nullopt});
    EXPECT_EQ(exchange(1, bytes({0x79, 0x91, 0x10, 3})), bytes({0xC3}));
    board.set_uart_faults({.tx_stuck = true, .rx_bytes_per_reply = std::nullopt, .late_reply = std::nullopt});
    board.set_register_sync(REG_UART_DATA, 0x79, 0xFFFFFFFF);
    EXPECT_EQ(board.get_register(REG_UART_TX_EMPTY), 0u);
    EXPECT_EQ(board.frames().size(), 1u);
}

TEST_F(RawBoard, NackRulesCountAndLetThrough) {
    board.nack(1, NackRule::chip(0x90).at(0x1E).reads_only().after_matches(1).times(2));
    const auto read_id = bytes({0x79, 0x91, 0x1E, 1});
    EXPECT_EQ(exchange(1, read_id)[0], 0xC3);
    EXPECT_EQ(exchange(1, read_id)[0], 0x3C);
    EXPECT_EQ(exchange(1, read_id)[0], 0x3C);
    EXPECT_EQ(exchange(1, read_id)[0], 0xC3);
    EXPECT_EQ(exchange(1, bytes({0x79, 0x91, 0x04, 1}))[0], 0xC3);  // other registers unaffected
}

TEST_F(RawBoard, ChipsBehindTheSerializerAnswerOnTheConfigurationLinkOrInRegisterMode) {
    auto eeprom = std::make_shared<EepromChip>(1, 256);
    eeprom->load(0x10, bytes({0xAB}));
    headstage->bus().attach(0xA4, eeprom);
    const auto read_eeprom = bytes({0x79, 0xA5, 0x10, 1});

    EXPECT_EQ(exchange(1, read_eeprom), bytes({0x3C, 0x00}));  // power-on: data link
    EXPECT_EQ(exchange(1, bytes({0x79, 0x80, 0x05, 1, 0x80})), bytes({0xC3}));
    // Register mode drops the register byte: address write, then current-address read.
    EXPECT_EQ(exchange(1, bytes({0x79, 0xA4, 0x00, 1, 0x10})), bytes({0xC3}));
    EXPECT_EQ(exchange(1, bytes({0x79, 0xA5, 0x00, 1})), bytes({0xC3, 0xAB}));
    EXPECT_EQ(exchange(1, bytes({0x79, 0x80, 0x05, 1, 0x00})), bytes({0xC3}));
    EXPECT_EQ(exchange(1, bytes({0x79, 0x80, 0x04, 1, 0x43})), bytes({0xC3}));
    EXPECT_EQ(exchange(1, read_eeprom), bytes({0xC3, 0xAB}));  // register form: 0x10 is the address
}

TEST_F(RawBoard, SerializerGpioRoutesTheDockBus) {
    auto dock0 = std::make_shared<EepromChip>(1, 16);
    auto dock1 = std::make_shared<EepromChip>(1, 16);
    dock0->load(0, bytes({0xD0}));
    dock1->load(0, bytes({0xD1}));
    headstage->dock(0).attach(0xA0, dock0);
    headstage->dock(1).attach(0xA0, dock1);
    exchange(1, bytes({0x79, 0x80, 0x04, 1, 0x43}));
    power_docks();
    const auto probe = bytes({0x79, 0xA1, 0x00, 1});

    EXPECT_EQ(exchange(1, probe)[0], 0x3C);  // bit 4 clear: no dock routed
    exchange(1, bytes({0x79, 0x80, 0x0F, 1, 0xFF}));
    EXPECT_EQ(exchange(1, probe), bytes({0xC3, 0xD0}));
    exchange(1, bytes({0x79, 0x80, 0x0F, 1, 0xFD}));
    EXPECT_EQ(exchange(1, probe), bytes({0xC3, 0xD1}));
}

// The docks' probes answer only after their supplies (GPIO 0x0F bits 3, 5,
// 2, enabled by 0x0E) came up one at a time in that order.
struct PowerUpCase {
    const char* name;
    std::vector<std::pair<uint8_t, uint8_t>> writes;  // serializer {register, value}, in order
    bool answers;
};

class DockPowerUp : public RawBoard, public ::testing::WithParamInterface<PowerUpCase> {};

TEST_P(DockPowerUp, ProbesAnswerOnlyAfterTheSuppliesCameUpInOrder) {
    auto probe = std::make_shared<EepromChip>(1, 16);
    probe->load(0, bytes({0xD0}));
    headstage->dock(0).attach(0xA0, probe);
    write_serializer(0x04, 0x43);  // configuration link: the dock bus is reachable
    for (const auto& [reg, value] : GetParam().writes) write_serializer(reg, value);
    // Route dock 0 without touching the supplies, then read the probe's EEPROM.
    const uint8_t gpio = headstage->serializer().peek(0x0F);
    write_serializer(0x0F, static_cast<uint8_t>(gpio | 0x12));
    const auto reply = exchange(1, bytes({0x79, 0xA1, 0x00, 1}));
    EXPECT_EQ(reply, GetParam().answers ? bytes({0xC3, 0xD0}) : bytes({0x3C, 0x00}));
    EXPECT_EQ(headstage->docks_powered(), GetParam().answers);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, DockPowerUp,
    ::testing::Values(
        PowerUpCase{"InOrder", {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xC9}, {0x0F, 0xE9}, {0x0F, 0xED}}, true},
        PowerUpCase{"NeverPowered", {}, false},
        PowerUpCase{"OutputsNeverEnabled", {{0x0F, 0xC1}, {0x0F, 0xC9}, {0x0F, 0xE9}, {0x0F, 0xED}}, false},
        PowerUpCase{"AllAtOnce", {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xED}}, false},
        PowerUpCase{"EnabledAfterTheOutputsWereSet", {{0x0F, 0xED}, {0x0E, 0x7E}}, false},
        PowerUpCase{"SecondBeforeFirst", {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xE1}, {0x0F, 0xE9}, {0x0F, 0xED}}, false},
        PowerUpCase{"LastFirst", {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xC5}, {0x0F, 0xCD}, {0x0F, 0xED}}, false},
        PowerUpCase{"FirstTwoTogether", {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xE9}, {0x0F, 0xED}}, false},
        PowerUpCase{"OnlyTheFirstTwo", {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xC9}, {0x0F, 0xE9}}, false},
        PowerUpCase{"FirstSupplyDipsWhileTheOthersStayOn",
                    {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xC9}, {0x0F, 0xE9}, {0x0F, 0xED}, {0x0F, 0xE5}, {0x0F, 0xED}},
                    false},
        PowerUpCase{"LastSupplyCycledAlone",
                    {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xC9}, {0x0F, 0xE9}, {0x0F, 0xED}, {0x0F, 0xE9}, {0x0F, 0xED}},
                    true},
        PowerUpCase{"LatchedUpUntilAllSuppliesAreOffThenInOrder",
                    {{0x0F, 0xC1}, {0x0E, 0x7E}, {0x0F, 0xED}, {0x0F, 0xC9}, {0x0F, 0xE9}, {0x0F, 0xED},
                     {0x0F, 0xC1}, {0x0F, 0xC9}, {0x0F, 0xE9}, {0x0F, 0xED}},
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RawBoard, ReplugPowersTheDocksDown) {
    auto probe = std::make_shared<EepromChip>(1, 16);
    headstage->dock(0).attach(0xA0, probe);
    write_serializer(0x04, 0x43);
    power_docks();
    ASSERT_TRUE(headstage->docks_powered());
    board.unplug(1);
    board.plug(1, headstage);
    EXPECT_FALSE(headstage->docks_powered());
    EXPECT_EQ(headstage->dock_supplies(), 0);
}

TEST_F(RawBoard, UnplugSilencesTheHeadstageAndTheLinkLosesLock) {
    EXPECT_TRUE(board.deserializer(1).locked());  // power-on data link
    exchange(1, bytes({0x79, 0x80, 0x06, 1, 0x85}));
    board.unplug(1);
    EXPECT_FALSE(board.deserializer(1).locked());
    EXPECT_EQ(exchange(1, bytes({0x79, 0x91, 0x04, 1}))[1] & 0x80, 0);
    EXPECT_EQ(exchange(1, bytes({0x79, 0x81, 0x1E, 1}))[0], 0x3C);

    board.plug(1, headstage);  // plugging powers the serializer up afresh
    EXPECT_EQ(headstage->serializer().peek(0x06), 0x00);
    EXPECT_TRUE(board.deserializer(1).locked());
}

TEST_F(RawBoard, PrbsResultsLatchWhenTheCheckerIsCleared) {
    auto& des = board.deserializer(1);
    des.set_prbs_result({.errors = 0, .corrected = 0, .prbs_errors = 4});
    exchange(1, bytes({0x79, 0x90, 0x04, 1, 0x27}));   // checker on
    exchange(1, bytes({0x79, 0x80, 0x04, 1, 0xA3}));   // generator on (data link)
    exchange(1, bytes({0x79, 0x80, 0x04, 1, 0x83}));   // generator off
    exchange(1, bytes({0x79, 0x90, 0x04, 1, 0x27}));   // writing bit 5 set again changes nothing
    EXPECT_EQ(exchange(1, bytes({0x79, 0x91, 0x14, 1})), bytes({0xC3, 0x00}));
    exchange(1, bytes({0x79, 0x90, 0x04, 1, 0x07}));   // checker off: results latch
    EXPECT_EQ(exchange(1, bytes({0x79, 0x91, 0x10, 5})), bytes({0xC3, 0, 0, 0, 4, 0x80}));
}

TEST(Eeprom, OneAndTwoByteAddressing) {
    EepromChip narrow(1, 256);
    ASSERT_TRUE(narrow.write_raw(bytes({0xFE, 1, 2, 3})));
    EXPECT_EQ(narrow.memory()[0xFF], 2);
    EXPECT_EQ(narrow.memory()[0x00], 3);  // wraps
    ASSERT_TRUE(narrow.write_raw(bytes({0xFE})));
    EXPECT_EQ(narrow.read_current(3), bytes({1, 2, 3}));

    EepromChip wide(2, 0x1000);
    ASSERT_TRUE(wide.write_raw(bytes({0x01, 0x23, 0x77})));
    EXPECT_EQ(wide.memory()[0x123], 0x77);
    ASSERT_TRUE(wide.write_raw(bytes({0x01})));  // an incomplete address moves nothing
    EXPECT_EQ(wide.pointer(), 0x124u);
    wide.set_write_protect(true);
    ASSERT_TRUE(wide.write_raw(bytes({0x01, 0x23, 0x00})));
    EXPECT_EQ(wide.memory()[0x123], 0x77);
}

TEST(BoardHooks, StatusIsSettable) {
    Board board;
    EXPECT_NE(board.get_status().value().find(R"("API": "1")"), std::string::npos);
    board.set_status(std::unexpected(std::string("Failed to read status")));
    EXPECT_EQ(board.get_status().error(), "Failed to read status");
    EXPECT_EQ(board.read(0, 0, nullptr), 0u);
}

}  // namespace
}  // namespace pelionp::sim
