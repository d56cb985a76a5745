// UART register sequences (recording device) and timeouts (simulated board).
#include <charconv>

#include <gtest/gtest.h>

#include "pelionp/links/uart.h"
#include "tests/links/sim_fixture.h"
#include "tests/support/recording_device.h"

namespace pelionp::test {
namespace {

using namespace std::chrono_literals;
using Op = DeviceCall::Op;

DeviceCall read_of(uint32_t address) { return {Op::GetRegister, address, 0, 0}; }

// Elapsed time inside a timeout message: the wait gives up only once more
// than its timeout has passed, so it is at least that long (never asserted
// from above).
int elapsed_ms(const std::string& message, const std::string& prefix) {
    EXPECT_TRUE(message.starts_with(prefix) && message.ends_with("ms")) << message;
    if (!message.starts_with(prefix) || !message.ends_with("ms")) return -1;
    int value = -1;
    const char* first = message.data() + prefix.size();
    const char* last = message.data() + message.size() - 2;
    const auto [end, error] = std::from_chars(first, last, value);
    EXPECT_TRUE(error == std::errc{} && end == last) << message;
    return value;
}

std::vector<DeviceCall> reads(const std::vector<DeviceCall>& calls) {
    std::vector<DeviceCall> out;
    for (const auto& call : calls)
        if (call.op == Op::GetRegister) out.push_back(call);
    return out;
}

TEST(UartRegisters, InitReleasesTheTransmitterAndWaitsForTxEmpty) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);
    (void)UART::init(device);
    EXPECT_EQ(device.writes(), (std::vector{set_reg(UART_TX_ENABLE, 1, 1)}));
    EXPECT_EQ(reads(device.calls()), (std::vector{read_of(UART_TX_EMPTY)}));
}

TEST(UartRegisters, SendLoadsTheFrameWithTheTransmitterHeld) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);
    auto uart = UART::init(device);
    device.clear_calls();

    const uint8_t frame[] = {0x79, 0x91, 0x1E, 0x01};
    ASSERT_EQ(uart.send(2, frame), 4u);
    EXPECT_EQ(device.writes(), (std::vector{set_reg(UART_PORT_SELECT, 2, 3), set_reg(UART_TX_ENABLE, 0, 1),
                                            set_reg(UART_DATA, 0x79, 0xFFFFFFFF), set_reg(UART_DATA, 0x91, 0xFFFFFFFF),
                                            set_reg(UART_DATA, 0x1E, 0xFFFFFFFF), set_reg(UART_DATA, 0x01, 0xFFFFFFFF),
                                            set_reg(UART_TX_ENABLE, 1, 1)}));
    EXPECT_EQ(reads(device.calls()), (std::vector{read_of(UART_TX_EMPTY), read_of(UART_TX_EMPTY)}));
}

TEST(UartRegisters, EmptySendStillTogglesTheTransmitter) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);
    auto uart = UART::init(device);
    device.clear_calls();
    ASSERT_EQ(uart.send(1, {}), 0u);
    EXPECT_EQ(device.writes(),
              (std::vector{set_reg(UART_PORT_SELECT, 1, 3), set_reg(UART_TX_ENABLE, 0, 1), set_reg(UART_TX_ENABLE, 1, 1)}));
}

TEST(UartRegisters, LengthLimitsTouchNoRegister) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);
    auto uart = UART::init(device);
    device.clear_calls();

    const std::vector<uint8_t> too_long(256, 0);
    EXPECT_EQ(uart.send(0, too_long).error(), "length greater than 255 bytes is not supported");
    EXPECT_EQ(uart.recv(0, 256).error(), "length greater than 255 bytes is not supported");
    EXPECT_TRUE(device.calls().empty());

    const std::vector<uint8_t> longest(255, 0);
    EXPECT_EQ(uart.send(0, longest), 255u);
}

TEST(UartRegisters, RecvOfNothingOnlySelectsThePort) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);
    auto uart = UART::init(device);
    device.clear_calls();
    EXPECT_EQ(uart.recv(3, 0), std::vector<uint8_t>{});
    EXPECT_EQ(device.calls(), (std::vector{set_reg(UART_PORT_SELECT, 3, 3), DeviceCall{Op::SendRegisters}}));
}

TEST(UartRegisters, FailedStatusReadsMeanTxNeverEmptyButRxAlwaysReady) {
    RecordingDevice device;
    device.fail(Op::FetchRegisters);
    auto uart = UART::init(device);

    const uint8_t frame[] = {0x79};
    const auto sent = uart.send(0, frame);
    ASSERT_FALSE(sent);
    EXPECT_GE(elapsed_ms(sent.error(), "UART transmit timeout waiting for TX FIFO empty after "), 10);
    // The timeout re-releases the transmitter before giving up.
    EXPECT_EQ(device.writes().back(), set_reg(UART_TX_ENABLE, 1, 1));

    EXPECT_EQ(uart.recv(0, 3), (std::vector<uint8_t>{0, 0, 0}));
}

TEST(WaitUntil, AConditionThatHoldsReturnsAtOnce) {
    int calls = 0;
    const auto [met, elapsed] = wait_until([&] { return ++calls > 0; }, 0ms, 1ms);
    EXPECT_TRUE(met);
    EXPECT_EQ(elapsed, 0ms);
    EXPECT_EQ(calls, 1);
}

using UartOnBoard = SimLink;

TEST_F(UartOnBoard, TransmitterThatNeverDrainsTimesOut) {
    board.set_uart_faults({.tx_stuck = true, .rx_bytes_per_reply = std::nullopt, .late_reply = std::nullopt});
    const uint8_t frame[] = {0x79, 0x91, 0x1E, 0x01};
    const auto sent = uart.send(0, frame);
    ASSERT_FALSE(sent);
    EXPECT_GE(elapsed_ms(sent.error(), "UART transmit timeout waiting for TX FIFO empty after "), 10);
    EXPECT_TRUE(take_frames().empty());
}

TEST_F(UartOnBoard, ReceiveTimeoutNamesTheMissingByteAndDropsTheRest) {
    board.set_uart_faults({.tx_stuck = false, .rx_bytes_per_reply = 2, .late_reply = std::nullopt});
    const uint8_t frame[] = {0x79, 0x91, 0x10, 0x03};  // 4 reply bytes, 2 delivered
    ASSERT_EQ(uart.send(0, frame), 4u);
    const auto received = uart.recv(0, 4);
    ASSERT_FALSE(received);
    EXPECT_GE(elapsed_ms(received.error(), "UART receive timeout [2] waiting for RX FIFO available after "),
              10);
}

// The UART's own drains, without PortIIC's drain before each frame: the
// next raw exchange on the port must get its own reply.
constexpr uint8_t READ_ID[] = {0x79, 0x91, 0x1E, 0x01};      // deserializer identifier: {0xC3, 0x0A}
constexpr uint8_t READ_08[] = {0x79, 0x91, 0x08, 0x01};      // a register set to 0x5A: {0xC3, 0x5A}

TEST_F(UartOnBoard, AReplyLandingDuringTheReceiveRecoveryIsDiscardedThere) {
    board.set_uart_faults({.tx_stuck = false, .rx_bytes_per_reply = std::nullopt,
                           .late_reply = sim::LateReply{.on_time = 0, .skip = 0, .count = 1,
                                                        .lands = sim::LateLanding::next_tx_enable}});
    ASSERT_EQ(uart.send(0, READ_ID), 4u);
    ASSERT_FALSE(uart.recv(0, 2));  // the reply lands at the recovery's transmitter release
    board.deserializer(0).poke(0x08, 0x5A);
    ASSERT_EQ(uart.send(0, READ_08), 4u);
    EXPECT_EQ(uart.recv(0, 2), (std::vector<uint8_t>{0xC3, 0x5A}));
}

TEST_F(UartOnBoard, AFrameLeavingAfterTheDrainWaitHasItsReplyDiscarded) {
    board.set_uart_faults({.tx_stuck = false, .tx_late_frames = 1, .rx_bytes_per_reply = std::nullopt,
                           .late_reply = std::nullopt});
    const auto sent = uart.send(0, READ_ID);  // leaves only at the recovery's release; its reply follows
    ASSERT_FALSE(sent);
    EXPECT_GE(elapsed_ms(sent.error(), "UART transmit timeout waiting for TX FIFO empty after "), 50);
    ASSERT_EQ(take_frames().size(), 1u);  // it did reach the bridge
    board.deserializer(0).poke(0x08, 0x5A);
    ASSERT_EQ(uart.send(0, READ_08), 4u);
    EXPECT_EQ(uart.recv(0, 2), (std::vector<uint8_t>{0xC3, 0x5A}));
}

}  // namespace
}  // namespace pelionp::test
