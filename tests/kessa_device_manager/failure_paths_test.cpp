// Failure paths of the transport, the device and the manager: the messages
// and results each one gives.
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "kessa_device_manager/kessa_device_manager.h"
#include "tests/kessa_device_manager/error_texts.h"
#include "tests/kessa_device_manager/fixture.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using pelionp::test::LogCapture;

TEST(FailurePaths, AFailedCardToHostReadNamesItsCode) {
    KessaFixture f;
    auto connection = xdma::Connection::open(*f.backend, f.board.path());
    ASSERT_TRUE(connection);
    f.backend->fail_reads(1, 5);
    EXPECT_EQ(connection->c2h_read(0).error(), "c2h transfer failed: " + coded(5));
}

TEST(FailurePaths, AFailedHostToCardWriteIsLoggedAndWritesNothing) {
    KessaFixture f;
    auto device = f.open(current_status_text("rhd"));
    LogCapture logs;
    f.backend->fail_writes(1, 28);
    const std::vector<uint8_t> data(16, 1);
    EXPECT_EQ(device->write(0x80, data.size(), data.data()), 0u);
    EXPECT_TRUE(logs.contains(spdlog::level::err, "KessaDevice::write(80, 10) failed: h2c transfer failed: " + coded(28)));
    EXPECT_TRUE(f.board.written().empty());
}

TEST(FailurePaths, ADrainReadsOnlyWhileTheLevelWithoutItsTopBitSaysDataWaitsAndEndsOnAFailedRead) {
    KessaFixture f;
    auto device = f.open(current_status_text("rhd"));
    f.backend->play_file_level(true);
    // The stand-in's level holds its top bit: 0x80000000 is an empty channel,
    // which the drain does not read.
    f.backend->clear();
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 0u);
    EXPECT_TRUE(f.backend->reads().empty());
    // A failed read ends the drain, and the bytes behind it stay.
    f.board.append_stream(std::vector<uint8_t>(64, 1));
    f.backend->fail_reads(1, 5);
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 0u);
    EXPECT_EQ(device->read(0xA0, 0, nullptr), 64u);
    const auto reads = f.backend->reads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].level_seen, 0x80000000u | 64u);
    EXPECT_EQ(reads[0].result, std::unexpected(5));
    ASSERT_TRUE(reads[1].result.has_value());
    EXPECT_EQ(*reads[1].result, 64u);
}

TEST(FailurePaths, AnOverflowRebootReportsItsResult) {
    {
        KessaFixture f;  // the status cannot be read when the reboot is due
        f.board.poke(0x1410, 1);
        f.backend->on_store([&](uint32_t address, uint32_t value) {
            if (address == 0x140C && value == 1) f.board.set_status_text("no mode here\n");
        });
        LogCapture logs;
        auto device = f.open(current_status_text("rhd"), false);
        EXPECT_TRUE(logs.contains(spdlog::level::err, "Cannot Get Status, cannot reboot"));
        EXPECT_EQ(logs.count_containing("Start reboot"), 0u);
    }
    KessaFixture f;  // the board reboots into its mode and comes back
    f.board.poke(0x1410, 1);
    auto timing = fast_timing();
    timing.open_timeout = std::chrono::seconds(10);
    LogCapture logs;
    f.backend->on_store([&](uint32_t address, uint32_t value) {
        if (address != 0x408 || value != 1) return;
        if (f.board.peek(0x400) == 0x10) f.board.poke(0x40C, 1);
        if (f.board.peek(0x400) == 4) f.board.remove();
    });
    auto device = std::async(std::launch::async, [&] { return f.open(current_status_text("rhd"), false, timing); });
    ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
    f.backend->on_store({});
    f.board.create(current_status_text("rhd"));
    EXPECT_TRUE(device.get());
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Reboot result: Success"));
}

TEST(FailurePaths, CreateDeviceRebootsIntoTheRequestedMode) {
    StandInDirectory dir;
    auto& board = dir.add(0);
    board.set_status_text(current_status_text("rhd"));
    auto backend = std::make_shared<RecordingBackend>(stand_in_backend(dir.directory()));
    auto timing = fast_timing();
    timing.close_timeout = timing.open_timeout = std::chrono::seconds(10);
    auto manager = std::make_shared<kessa_device_manager>(backend, timing);
    LogCapture logs;
    backend->on_store([&](uint32_t address, uint32_t value) {
        if (address != 0x408 || value != 1) return;
        if (board.peek(0x400) == 0x10) board.poke(0x40C, 1);
        if (board.peek(0x400) == 4) board.remove();
    });
    auto created = std::async(std::launch::async,
                              [&] { return manager->create_device(R"({"mode": "np", "skip_init": true})"); });
    ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
    backend->on_store({});
    board.create(current_status_text("np"));
    auto device = created.get();
    ASSERT_TRUE(device);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Reboot finished\n"));
    EXPECT_TRUE(dynamic_cast<KessaDevice&>(*device).np_mode());
    EXPECT_EQ(manager->managed_devices(), std::vector<std::string>{R"({"id":0})"});
}

#ifndef _WIN32
TEST(FailurePaths, TheBarSizeComesFromTheFirstNonEmptyBarInSysfs) {
    StandInDirectory root;
    const auto device = root.directory() / "class" / "xdma" / "xdma3_user" / "device";
    std::filesystem::create_directories(device);
    const auto write = [&](const std::string& text) { std::ofstream(device / "resource") << text; };
    write("0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
          "0x00000000f7000000 0x00000000f70fffff 0x0000000000040200\n"
          "0x00000000f7100000 0x00000000f710ffff 0x0000000000040200\n");
    EXPECT_EQ(xdma::platform::bar_size_from_sysfs(root.directory(), "xdma3_user"), 0x100000u);
    write("0x0000000000000000 0x0000000000000000 0x0000000000000000\n");
    EXPECT_EQ(xdma::platform::bar_size_from_sysfs(root.directory(), "xdma3_user").error(),
              "no memory BAR listed in " + (device / "resource").string());
    EXPECT_EQ(xdma::platform::bar_size_from_sysfs(root.directory(), "xdma4_user").error(),
              "cannot read " + (root.directory() / "class/xdma/xdma4_user/device/resource").string());
}
#endif

}  // namespace
}  // namespace pelio::test
