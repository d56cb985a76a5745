#include <stdexcept>

#include <gtest/gtest.h>

#include "pelionp/controller/board.h"
#include "tests/support/recording_device.h"

namespace {

using namespace pelionp;
using demux::SID;
using pelionp::test::DeviceCall;
using pelionp::test::RecordingDevice;
using pelionp::test::set_reg;

TEST(BoardRegisters, PortControlWrites) {
    RecordingDevice d;
    board::set_np_power(d, true);
    board::set_np_power(d, false);
    board::assign_port_4_to_NP(d, true);
    board::assign_port_4_to_NP(d, false);
    board::set_QBN004_Power(d, true);
    board::set_QBN004_Power(d, false);
    board::set_tlast_enable(d, true);
    board::set_tlast_enable(d, false);
    EXPECT_EQ(d.writes(), (std::vector<DeviceCall>{
                              set_reg(0x1400, 0x00000000, 0xFFFF0000),
                              set_reg(0x1400, 0xFFFF0000, 0xFFFF0000),
                              set_reg(0x1400, 0x1, 0x1),
                              set_reg(0x1400, 0x0, 0x1),
                              set_reg(0x1400, 0x2, 0x2),
                              set_reg(0x1400, 0x0, 0x2),
                              set_reg(0x1404, 0x80, 0x80),
                              set_reg(0x1404, 0x0, 0x80),
                          }));
}

TEST(BoardRegisters, PortStreamIdsRefuseAPortOutsideZeroToThree) {
    EXPECT_EQ(demux::port_stream_ids(2), (std::array{SID{2}, SID{10}, SID{14}}));
    for (const int port : {-1, 4, 255}) {
        try {
            (void)demux::port_stream_ids(port);
            ADD_FAILURE() << "port " << port << " was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "port_stream_ids: invalid port");
        }
    }
}

TEST(BoardRegisters, AllThreeStreamsOfAPortShareOneProducerBit) {
    for (uint32_t port = 0; port < 4; ++port) {
        for (auto sid : demux::port_stream_ids(static_cast<int>(port))) {
            RecordingDevice d;
            board::enable_stream(d, sid, true);
            board::enable_stream(d, sid, false);
            EXPECT_EQ(d.writes(), (std::vector<DeviceCall>{set_reg(0x1404, 1u << port, 1u << port),
                                                           set_reg(0x1404, 0, 1u << port)}))
                << "SID " << demux::to_underlying(sid);
        }
    }
    RecordingDevice d;
    board::enable_stream(d, SID::NP2_PORT2_DOCK1, true);
    board::enable_stream(d, SID::NP1_PORT2, true);
    EXPECT_EQ(d.writes(), (std::vector<DeviceCall>{set_reg(0x1404, 0x4, 0x4), set_reg(0x1404, 0x4, 0x4)}));
}

TEST(BoardRegisters, IoStreamHasItsOwnRegister) {
    RecordingDevice d;
    board::enable_stream(d, SID::IO, true);
    board::enable_stream(d, SID::IO, false);
    EXPECT_EQ(d.writes(), (std::vector<DeviceCall>{set_reg(0x2400, 1, 1), set_reg(0x2400, 0, 1)}));
}

TEST(BoardRegisters, StreamsWithoutProducerThrowAndWriteNothing) {
    for (uint32_t s : {4u, 6u, 7u, 16u, 0xFFFFFFFFu}) {
        RecordingDevice d;
        try {
            board::enable_stream(d, SID{s}, true);
            ADD_FAILURE() << "SID " << s << " did not throw";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "enable_io_stream: invalid SID");
        }
        EXPECT_TRUE(d.calls().empty()) << "SID " << s;
    }
}

TEST(BoardRegisters, SoftTriggerIsTwoWritesOfBitNine) {
    RecordingDevice d;
    board::send_soft_trigger(d);
    EXPECT_EQ(d.calls(), (std::vector<DeviceCall>{set_reg(0x1404, 0x200, 0x200),
                                                  {DeviceCall::Op::SendRegisters},
                                                  set_reg(0x1404, 0, 0x200),
                                                  {DeviceCall::Op::SendRegisters}}));
}

TEST(BoardRegisters, Np2DemuxBitPerPort) {
    RecordingDevice d;
    board::set_np2_demux(d, 0, true);
    board::set_np2_demux(d, 3, true);
    board::set_np2_demux(d, 3, false);
    EXPECT_EQ(d.writes(), (std::vector<DeviceCall>{set_reg(0x1404, 0x10000, 0x10000),
                                                   set_reg(0x1404, 0x80000, 0x80000),
                                                   set_reg(0x1404, 0, 0x80000)}));
    for (int bad : {4, -1, 100}) {
        RecordingDevice fresh;
        try {
            board::set_np2_demux(fresh, bad, true);
            ADD_FAILURE() << "port " << bad << " did not throw";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "set_np2_demux invalid");
        }
        EXPECT_TRUE(fresh.calls().empty());
    }
}

TEST(BoardRegisters, PortStatusBits) {
    RecordingDevice d;
    d.poke(0x1408, 0x00000022);
    auto s1 = board::get_np_port_status(d, 1);
    EXPECT_TRUE(s1.low_bit_set);
    EXPECT_FALSE(s1.high_bit_clear);
    auto s0 = board::get_np_port_status(d, 0);
    EXPECT_FALSE(s0.low_bit_set);
    EXPECT_TRUE(s0.high_bit_clear);

    RecordingDevice failing;
    failing.poke(0x1408, 0xFF);
    failing.fail(DeviceCall::Op::FetchRegisters);
    auto s = board::get_np_port_status(failing, 1);
    EXPECT_FALSE(s.low_bit_set);
    EXPECT_TRUE(s.high_bit_clear);
}

}  // namespace
