#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "pelio/basic_device.h"
#include "tests/support/recording_device.h"

namespace {

using pelio::DataStream::OwnedData;
using pelionp::test::DeviceCall;
using pelionp::test::RecordingDevice;
using Op = DeviceCall::Op;

int g_released = 0;
void counting_release(uint8_t* p) {
    ++g_released;
    std::free(p);
}
uint8_t* make_buffer(std::size_t n) { return static_cast<uint8_t*>(std::malloc(n)); }

TEST(OwnedData, ReleasedExactlyOnceByTheLastHolder) {
    g_released = 0;
    {
        OwnedData a(counting_release, make_buffer(16), 16);
        OwnedData b(std::move(a));
        EXPECT_EQ(a.size(), 0u);
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(b.size(), 16u);
        OwnedData c(counting_release, make_buffer(4), 4);
        c = std::move(b);  // c's own buffer goes now, b's moves in
        EXPECT_EQ(g_released, 1);
    }
    EXPECT_EQ(g_released, 2);
}

TEST(OwnedData, BufferTakenOutOfAnEventSurvivesTheEvent) {
    g_released = 0;
    OwnedData::Buffer kept{nullptr, counting_release};
    {
        pelio::DataStream::Events event{OwnedData(counting_release, make_buffer(8), 8)};
        auto& owned = std::get<OwnedData>(event);
        std::memset(owned.data(), 0xAB, owned.size());
        kept = owned.take();
        EXPECT_EQ(owned.size(), 0u);
    }
    EXPECT_EQ(g_released, 0);
    EXPECT_EQ(kept[7], 0xAB);
    kept.reset();
    EXPECT_EQ(g_released, 1);
}

TEST(OwnedData, EventVariantKeepsTheDocumentedAlternativeOrder) {
    using pelio::DataStream::Events;
    EXPECT_TRUE((std::is_same_v<std::variant_alternative_t<0, Events>, pelio::DataStream::Stop>));
    EXPECT_TRUE((std::is_same_v<std::variant_alternative_t<1, Events>, pelio::DataStream::Error>));
    EXPECT_TRUE((std::is_same_v<std::variant_alternative_t<2, Events>, OwnedData>));
    EXPECT_TRUE((std::is_same_v<std::variant_alternative_t<3, Events>, pelio::DataStream::DataView>));
    EXPECT_FALSE(std::is_copy_constructible_v<Events>);
}

TEST(SyncAccess, WriteCommitsOnlyAfterASuccessfulStage) {
    RecordingDevice ok;
    EXPECT_EQ(ok.set_register_sync(0x10, 5, 0xFFFFFFFF), pelio::BasicDeviceStatus::Success);
    EXPECT_EQ(ok.calls(), (std::vector<DeviceCall>{{Op::SetRegister, 0x10, 5, 0xFFFFFFFF}, {Op::SendRegisters}}));

    RecordingDevice failing;
    failing.fail(Op::SetRegister);
    EXPECT_EQ(failing.set_register_sync(0x10, 5, 0xFF), pelio::BasicDeviceStatus::Failure);
    EXPECT_EQ(failing.calls(), (std::vector<DeviceCall>{{Op::SetRegister, 0x10, 5, 0xFF}}));

    RecordingDevice failing_commit;
    failing_commit.fail(Op::SendRegisters);
    EXPECT_EQ(failing_commit.set_register_sync(0x10, 5, 0xFF), pelio::BasicDeviceStatus::Failure);
}

TEST(SyncAccess, ReadIsEmptyAndNeverReadsWhenTheFetchFails) {
    RecordingDevice device;
    device.poke(0x20, 0x1234);
    EXPECT_EQ(device.get_register_sync(0x20), std::optional<uint32_t>(0x1234));

    RecordingDevice failing;
    failing.poke(0x20, 0x1234);
    failing.fail(Op::FetchRegisters);
    EXPECT_EQ(failing.get_register_sync(0x20), std::nullopt);
    EXPECT_EQ(failing.calls(), (std::vector<DeviceCall>{{Op::FetchRegisters}}));
}

}  // namespace
