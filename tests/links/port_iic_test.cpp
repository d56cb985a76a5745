// PortIIC frames against the simulated board's bridge.
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/links/port_iic.h"
#include "tests/links/sim_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_device.h"

namespace pelionp::test {
namespace {

using sim::FrameRecord;
using Level = spdlog::level::level_enum;

using PortIICFrames = SimLink;

TEST_F(PortIICFrames, ReadSendsAddressWithReadBitAndReturnsTheDataAfterTheAck) {
    EXPECT_EQ(iic.read(0x90, 0x1E, 1), (std::vector<uint8_t>{0x0A}));
    EXPECT_EQ(take_frames(), (std::vector{FrameRecord{0, bytes({0x79, 0x91, 0x1E, 0x01}), bytes({0xC3, 0x0A})}}));
}

TEST_F(PortIICFrames, ReadOfNothingIsAFrameWithCountZero) {
    EXPECT_EQ(iic.read(0x90, 0x04, 0), std::vector<uint8_t>{});
    EXPECT_EQ(take_frames(), (std::vector{FrameRecord{0, bytes({0x79, 0x91, 0x04, 0x00}), bytes({0xC3})}}));
}

TEST_F(PortIICFrames, WriteSendsCountAndData) {
    ASSERT_TRUE(iic.write(0x90, 0x07, {0x02, 0x81}));
    ASSERT_TRUE(iic.write(0x90, 0x03, {}));
    EXPECT_EQ(take_frames(), (std::vector{FrameRecord{0, bytes({0x79, 0x90, 0x07, 0x02, 0x02, 0x81}), bytes({0xC3})},
                                          FrameRecord{0, bytes({0x79, 0x90, 0x03, 0x00}), bytes({0xC3})}}));
    EXPECT_EQ(board.deserializer(0).peek(0x07), 0x02);
    EXPECT_EQ(board.deserializer(0).peek(0x08), 0x81);
}

TEST_F(PortIICFrames, SetBitsReadsThenWritesTheMergedByte) {
    board.deserializer(0).poke(0x08, 0xA5);
    ASSERT_TRUE(iic.set_bits(0x90, 0x08, 0x0F, 0x3C));
    ASSERT_TRUE(iic.set_bits(0x90, 0x08, 0x00, 0x00));  // mask 0 writes back what it read
    ASSERT_TRUE(iic.set_bits(0x90, 0x08, 0x5A, 0xFF));  // full mask writes the value
    EXPECT_EQ(take_frames(), (std::vector{FrameRecord{0, bytes({0x79, 0x91, 0x08, 0x01}), bytes({0xC3, 0xA5})},
                                          FrameRecord{0, bytes({0x79, 0x90, 0x08, 0x01, 0x8D}), bytes({0xC3})},
                                          FrameRecord{0, bytes({0x79, 0x91, 0x08, 0x01}), bytes({0xC3, 0x8D})},
                                          FrameRecord{0, bytes({0x79, 0x90, 0x08, 0x01, 0x8D}), bytes({0xC3})},
                                          FrameRecord{0, bytes({0x79, 0x91, 0x08, 0x01}), bytes({0xC3, 0x8D})},
                                          FrameRecord{0, bytes({0x79, 0x90, 0x08, 0x01, 0x5A}), bytes({0xC3})}}));
}

TEST_F(PortIICFrames, LongestReadAndWriteFillAFrame) {
    const auto data = iic.read(0x90, 0x00, 254);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), 254u);
    ASSERT_TRUE(iic.write(0x90, 0x20, std::vector<uint8_t>(251, 0x11)));
    const auto frames = take_frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].frame, bytes({0x79, 0x91, 0x00, 254}));
    EXPECT_EQ(frames[0].reply.size(), 255u);
    EXPECT_EQ(frames[1].frame.size(), 255u);
}

TEST(PortIICLimits, OversizedTransactionsTouchNoRegister) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);
    auto uart = UART::init(device);
    device.clear_calls();
    PortIIC iic(1, uart);
    EXPECT_EQ(iic.read(0x90, 0, 255).error(), "length greater than 255 bytes is not supported");
    EXPECT_EQ(iic.write(0x90, 0, std::vector<uint8_t>(252, 0)).error(), "length greater than 255 bytes is not supported");
    EXPECT_TRUE(device.calls().empty());
}

TEST_F(PortIICFrames, NobodyAnsweringIsAnAckErrorLoggedAtTrace) {
    LogCapture log;
    EXPECT_EQ(iic.read(0x50, 0x00, 2).error(), "I2C::read ACK error");
    EXPECT_EQ(iic.write(0x50, 0x00, {1}).error(), "I2C::write ACK error");
    EXPECT_EQ(log.count_containing("ACK error: expected 0xC3, got 0x3C"), 2u);
    EXPECT_EQ(log.at(Level::trace).size(), 4u);  // two frame lines, two ACK errors
}

TEST_F(PortIICFrames, ReplyOfZerosIsAnAckErrorEvenWithoutUartError) {
    RecordingDevice device;
    device.poke(UART_TX_EMPTY, 1);  // RX_EMPTY and DATA read 0: bytes "arrive" as zeros
    auto uart0 = UART::init(device);
    PortIIC zeros(0, uart0);
    EXPECT_EQ(zeros.read(0x90, 0x1E, 1).error(), "I2C::read ACK error");
    EXPECT_EQ(zeros.write(0x90, 0x1E, {}).error(), "I2C::write ACK error");
}

TEST_F(PortIICFrames, FramesAreLoggedAtTraceLevel) {
    LogCapture log;
    ASSERT_TRUE(iic.read(0x90, 0x1E, 1));
    ASSERT_TRUE(iic.write(0x90, 0x07, {0x02, 0x81}));
    EXPECT_EQ(log.at(Level::trace), (std::vector<std::string>{"I2C Read  : P0 | 0x90 | 0x1E | 1 ->", "Ok 0A",
                                                              "I2C Write : P0 | 0x90 | 0x07 | 02 81 -> ", "Ok"}));
}

TEST_F(PortIICFrames, ReceiveFailureIsPassedOnAndLogged) {
    LogCapture log;
    board.set_uart_faults({.tx_stuck = false, .rx_bytes_per_reply = 0, .late_reply = std::nullopt});
    const auto read = iic.read(0x90, 0x1E, 1);
    ASSERT_FALSE(read);
    EXPECT_TRUE(read.error().starts_with("UART receive timeout [0] waiting for RX FIFO available after "));
    EXPECT_TRUE(log.contains(Level::trace, "recv error: " + read.error()));
}

// A reply (or its tail) that arrives after the library gave up on it must
// not pass for the reply of the next transaction on the port, whether it
// lands during the failed transaction's recovery (which empties the FIFO
// itself) or only afterwards, between the two transactions (only the drain
// before each frame catches it then).
struct LateReplyCase {
    const char* name;
    bool late_read;        // the transaction whose reply comes late: a read of 0x08, else a write
    std::size_t on_time;   // bytes of that reply that still come at once
    bool refuse_next;      // the next transaction is a write the deserializer refuses, else a read
    std::size_t stale;     // bytes left behind for the next transaction
    sim::LateLanding lands;
};

class LateReplies : public SimLink, public ::testing::WithParamInterface<LateReplyCase> {};

TEST_P(LateReplies, TheNextTransactionSeesOnlyItsOwnReply) {
    const auto& c = GetParam();
    LogCapture log;
    board.deserializer(0).poke(0x08, 0x5A);
    board.set_uart_faults({.tx_stuck = false, .rx_bytes_per_reply = std::nullopt,
                           .late_reply = sim::LateReply{.on_time = c.on_time, .skip = 0, .count = 1, .lands = c.lands}});
    const bool gave_up = c.late_read ? !iic.read(0x90, 0x08, 1) : !iic.write(0x90, 0x08, {0x5A});
    ASSERT_TRUE(gave_up);
    if (c.lands == sim::LateLanding::on_request) {
        ASSERT_EQ(board.land_late_replies(), c.stale);
    }

    if (c.refuse_next) {
        board.nack(0, sim::NackRule::chip(0x90).writes_only().times(1));
        const auto refused = iic.write(0x90, 0x09, {0x01});
        ASSERT_FALSE(refused.has_value());  // a stale ACK must not pass for this write's
        EXPECT_EQ(refused.error(), "I2C::write ACK error");
    } else {
        EXPECT_EQ(iic.read(0x90, 0x08, 1), (std::vector<uint8_t>{0x5A}));
    }
    EXPECT_EQ(iic.read(0x90, 0x1E, 1), (std::vector<uint8_t>{0x0A}));
    EXPECT_EQ(log.count_containing(fmt::format("UART port 0: discarded {} stale receive bytes", c.stale)), 1u);
}

constexpr auto AT_RECOVERY = sim::LateLanding::next_tx_enable;
constexpr auto BETWEEN = sim::LateLanding::on_request;

INSTANTIATE_TEST_SUITE_P(
    Cases, LateReplies,
    ::testing::Values(LateReplyCase{"WriteAckLateThenRefusedWrite", false, 0, true, 1, AT_RECOVERY},
                      LateReplyCase{"WriteAckLateThenOneByteRead", false, 0, false, 1, AT_RECOVERY},
                      LateReplyCase{"ReadReplyLateThenRefusedWrite", true, 0, true, 2, AT_RECOVERY},
                      LateReplyCase{"ReadTailLateThenOneByteRead", true, 1, false, 1, AT_RECOVERY},
                      LateReplyCase{"WriteAckLandsBetweenThenRefusedWrite", false, 0, true, 1, BETWEEN},
                      LateReplyCase{"WriteAckLandsBetweenThenOneByteRead", false, 0, false, 1, BETWEEN},
                      LateReplyCase{"ReadReplyLandsBetweenThenRefusedWrite", true, 0, true, 2, BETWEEN},
                      LateReplyCase{"ReadTailLandsBetweenThenOneByteRead", true, 1, false, 1, BETWEEN}),
    [](const auto& info) { return std::string(info.param.name); });

struct SerializerLike {
    static constexpr uint8_t DEVICE_ADDR = 0x90;
    PortIIC port;
};

TEST_F(PortIICFrames, ChipTemplatesUseTheTypesAddress) {
    SerializerLike chip{iic};
    ASSERT_TRUE(iic_write(chip, 0x08, {0x33}));
    ASSERT_TRUE(iic_set_bits(chip, 0x08, 0x04, 0x0C));
    EXPECT_EQ(iic_read(chip, 0x08, 1), (std::vector<uint8_t>{0x37}));
    for (const auto& frame : take_frames()) EXPECT_EQ(frame.frame[1] & 0xFE, 0x90);
}

TEST_F(PortIICFrames, TwoThreadsOnDifferentPortsNeverInterleaveFrames) {
    constexpr int ROUNDS = 40;
    PortIIC port2(2, uart);
    board.deserializer(2).poke(0x08, 0x22);
    board.deserializer(0).poke(0x08, 0x00);

    auto hammer = [](const PortIIC& port, uint8_t expected) {
        for (int i = 0; i < ROUNDS; ++i) {
            EXPECT_EQ(port.read(0x90, 0x08, 1), (std::vector<uint8_t>{expected}));
            EXPECT_TRUE(port.set_bits(0x90, 0x08, expected, 0xFF));
        }
    };
    std::thread other([&] { hammer(port2, 0x22); });
    hammer(iic, 0x00);
    other.join();

    // Interleaved register traffic would have sent bytes of one frame to the
    // other port's bridge: protocol errors, wrong replies, lost frames.
    const auto frames = take_frames();
    ASSERT_EQ(frames.size(), 2u * 3 * ROUNDS);
    for (const auto& record : frames) {
        const uint8_t value = record.port == 2 ? 0x22 : 0x00;
        if (record.frame[1] & 1)
            EXPECT_EQ(record.reply, bytes({0xC3, value}));
        else
            EXPECT_EQ(record.frame, bytes({0x79, 0x90, 0x08, 0x01, value}));
    }
}

}  // namespace
}  // namespace pelionp::test
