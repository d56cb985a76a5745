// Register, trigger and pipe operations of the Kessa device over stand-in nodes.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/kessa_device_manager/error_texts.h"
#include "tests/kessa_device_manager/fixture.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using pelionp::test::LogCapture;
using Status = BasicDeviceStatus;

class EndpointMode : public ::testing::Test, public KessaFixture {
protected:
    void SetUp() override { device = open(current_status_text("rhd")); }
    std::unique_ptr<KessaDevice> device;
    LogCapture logs;
};

TEST_F(EndpointMode, WireEndpointsMapOntoTheRegisterSpace) {
    ASSERT_FALSE(device->np_mode());
    EXPECT_EQ(device->set_register(0x05, 0xABCD, 0xFFFFFFFF), Status::Success);
    EXPECT_EQ(board.peek(0x1418 + 0x14), 0xABCDu);

    board.poke(0x1498, 0x77);
    EXPECT_EQ(device->get_register(0x20), 0x77u);  // 0x1418 + 4 * 0x20
    board.poke(0x1418 + 4 * 0x3F, 0x3F3F);
    EXPECT_EQ(device->get_register_sync(0x3F), 0x3F3Fu);
    EXPECT_TRUE(logs.contains(spdlog::level::trace, "KessaDevice::get_register(3f) = 3F3F"));
}

TEST_F(EndpointMode, OutOfRangeAddressesAreRefusedBeforeTheBoard) {
    backend->clear();
    EXPECT_EQ(device->set_register(0x20, 1, 0xFFFFFFFF), Status::Failure);
    EXPECT_TRUE(logs.contains(spdlog::level::err, "KessaDevice::set_register(20, 1, FFFFFFFF) out of range"));
    EXPECT_EQ(device->set_register_sync(0x2400, 1, 0xFFFFFFFF), Status::Failure);
    EXPECT_EQ(device->get_register(0x1F), 0u);
    EXPECT_TRUE(logs.contains(spdlog::level::err, "KessaDevice::get_register(1f) out of range"));
    EXPECT_EQ(device->get_register(0x40), 0u);
    EXPECT_EQ(device->get_register(0x1800), 0u);  // between the pass-through ranges
    EXPECT_TRUE(backend->accesses().empty());
}

TEST_F(EndpointMode, PassThroughRangesAreUsedUnchanged) {
    for (uint32_t address : {0x1000u, 0x1404u, 0x17FCu, 0x2000u, 0x23FCu, 0x2C00u, 0x2FFCu}) {
        EXPECT_EQ(device->set_register(address, address + 1, 0xFFFFFFFF), Status::Success);
        EXPECT_EQ(board.peek(address), address + 1);
        EXPECT_EQ(device->get_register(address), address + 1);
    }
    EXPECT_EQ(device->set_register(0x0FFC, 1, 0xFFFFFFFF), Status::Failure);
    EXPECT_EQ(device->set_register(0x2400, 1, 0xFFFFFFFF), Status::Failure);
    EXPECT_EQ(device->set_register(0x3000, 1, 0xFFFFFFFF), Status::Failure);
}

TEST_F(EndpointMode, PartialMaskReadsModifiesWrites) {
    board.poke(0x1404, 0xFF00FF00);
    backend->clear();
    EXPECT_EQ(device->set_register(0x1404, 0x0000ABCD, 0x0000FFFF), Status::Success);
    EXPECT_EQ(board.peek(0x1404), 0xFF00ABCDu);
    ASSERT_EQ(backend->accesses().size(), 2u);
    EXPECT_EQ(backend->accesses()[0].kind, RegisterAccess::Kind::Load);

    backend->clear();
    EXPECT_EQ(device->set_register(0x1404, 5, 0xFFFFFFFF), Status::Success);
    EXPECT_EQ(backend->accesses(), (std::vector{store(0x1404, 5)}));  // no read with a full mask
}

TEST_F(EndpointMode, TriggersPulseOneBitAndTheClockDividerIsComputed) {
    EXPECT_EQ(device->trigger(0x41, 3), Status::Success);
    EXPECT_EQ(board.peek(0x1418 + 0x104), 8u);
    EXPECT_TRUE(logs.contains(spdlog::level::debug, "KessaDevice::trigger(41, 3)"));

    board.poke(0x1494, 10);
    EXPECT_EQ(device->trigger(0x40, 11), Status::Success);
    EXPECT_EQ(board.peek(0x1408), 4u);
    board.poke(0x1494, 3);
    EXPECT_EQ(device->trigger(0x40, 11), Status::Success);
    EXPECT_EQ(board.peek(0x1408), 0u);

    board.poke(0x1494, 2);
    backend->clear();
    EXPECT_EQ(device->trigger(0x40, 11), Status::Failure);
    EXPECT_TRUE(backend->stores().empty());

    EXPECT_EQ(device->trigger(0x46, 0), Status::Failure);
    EXPECT_TRUE(logs.contains(spdlog::level::err, "KessaDevice::trigger(46, 0) out of range"));
    EXPECT_EQ(device->trigger(0x3F, 0), Status::Failure);
    EXPECT_EQ(device->trigger(0x42, 32), Status::Failure);
    EXPECT_TRUE(backend->stores().empty());
}

TEST_F(EndpointMode, PipeInEndpointsAreFedWordByWordWithStrobes) {
    const std::vector<uint8_t> data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    backend->clear();
    EXPECT_EQ(device->write(0x83, data.size(), data.data()), 8u);
    EXPECT_EQ(backend->stores(),
              (std::vector{store(0x1538, 0x04030201), store(0x1530, 4), store(0x1538, 0x08070605), store(0x1530, 4)}));

    backend->clear();
    EXPECT_EQ(device->write(0x87, 6, data.data()), 6u);  // a trailing half word goes out zero-padded
    EXPECT_EQ(backend->stores(),
              (std::vector{store(0x1540, 0x04030201), store(0x1530, 16), store(0x1540, 0x0605), store(0x1530, 16)}));
    EXPECT_TRUE(board.written().empty());
}

TEST_F(EndpointMode, OtherPipesGoOutAsOneTransfer) {
    std::vector<uint8_t> data(1000);
    std::iota(data.begin(), data.end(), uint8_t{3});
    EXPECT_EQ(device->write(0x80, data.size(), data.data()), 1000u);
    EXPECT_EQ(board.written(), data);
    EXPECT_TRUE(logs.contains(spdlog::level::debug, "KessaDevice::write(80, 3E8)"));
    EXPECT_EQ(device->write(0x80, 4, nullptr), 0u);
}

TEST_F(EndpointMode, DrainEndpointEmptiesTheCardToHostChannel) {
    backend->play_file_level(true);
    board.append_stream(std::vector<uint8_t>(xdma::TRANSFER_BYTES * 2 + 17, 0x5A));
    EXPECT_EQ(device->read(0xA0, 0, nullptr), xdma::TRANSFER_BYTES * 2 + 17);
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 0u);

    uint8_t buffer[16];
    board.append_stream(std::vector<uint8_t>(16, 1));
    EXPECT_EQ(device->read(0xA0, sizeof buffer, buffer), 0u);  // only a zero-length read drains
    EXPECT_EQ(device->read(0xA1, sizeof buffer, buffer), 0u);
    EXPECT_TRUE(logs.contains(spdlog::level::err, "Unknown ReadFromBlockPipeOut A1 10\n"));
    EXPECT_EQ(device->read(0xA0, 4, nullptr), 0u);
    EXPECT_TRUE(logs.contains(spdlog::level::warn, "KessaDevice::read(A0, 4) null output buffer"));
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 16u);  // the refused reads left the bytes
}

TEST(NeuropixelsMode, RawAddressesAndNoTriggersOrPipes) {
    KessaFixture f;
    auto device = f.open(current_status_text("np"));
    ASSERT_TRUE(device->np_mode());
    EXPECT_EQ(device->set_register_sync(0x2400, 0x1234, 0xFFFFFFFF), Status::Success);
    EXPECT_EQ(f.board.peek(0x2400), 0x1234u);
    f.board.poke(0x0C, 0xC0FFEE);
    EXPECT_EQ(device->get_register(0x0C), 0xC0FFEEu);
    EXPECT_THROW((void)device->get_register(0x0E), std::runtime_error);  // misaligned raw address
    EXPECT_THROW((void)device->get_register(0x4000), std::runtime_error);

    uint8_t buffer[8]{};
    f.board.append_stream(std::vector<uint8_t>(8, 1));
    f.backend->clear();
    EXPECT_EQ(device->trigger(0x41, 3), Status::Failure);
    EXPECT_EQ(device->trigger(0x40, 11), Status::Failure);
    EXPECT_EQ(device->write(0x83, sizeof buffer, buffer), 0u);
    EXPECT_EQ(device->write(0x80, sizeof buffer, buffer), 0u);
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 0u);
    EXPECT_EQ(device->read(0, 0, nullptr), 0u);  // what the Neuropixels library sends at start-up
    EXPECT_TRUE(f.backend->accesses().empty());
    EXPECT_TRUE(f.board.written().empty());
}

TEST(KessaDeviceLifecycle, OpenFailureThrowsTheOpenMessage) {
    KessaFixture f;
    f.board.remove();
    try {
        KessaDevice device(f.backend, f.board.path(), true);
        FAIL() << "opened a missing board";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), "Error opening mm device, win32 error code: " + coded(2));
    }
}

TEST(KessaDeviceLifecycle, ConstructionAndDestructionAreLogged) {
    KessaFixture f;
    LogCapture logs;
    auto device = f.open(current_status_text("np"));
    const auto address = fmt::format("{}", fmt::ptr(device.get()));
    EXPECT_TRUE(logs.contains(spdlog::level::debug, "KessaDevice::KessaDevice " + address + " " + f.board.path()));
    device.reset();
    EXPECT_TRUE(logs.contains(spdlog::level::debug, "KessaDevice::~KessaDevice() " + address));
}

}  // namespace
}  // namespace pelio::test
