// Rhythm initialisation and image reboot: register sequences and the
// close/reopen polling over stand-in nodes that the test removes and recreates.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <numeric>

#include "kessa_device_manager/board_control.h"
#include "tests/kessa_device_manager/error_texts.h"
#include "tests/kessa_device_manager/fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace pelio::test {
namespace {

using pelionp::test::LogCapture;
using spdlog::level::level_enum;

void write_identity(const StandInBoard& board, const std::string& model, uint32_t serial = 0) {
    std::array<uint32_t, 32> block{};
    block[0] = 0x4B424944;
    block[1] = (1u << 16) | 0x0101;
    block[3] = serial;
    for (std::size_t i = 0; i < model.size(); ++i) block[4 + i / 4] |= uint32_t(uint8_t(model[i])) << (8 * (i % 4));
    block[31] = 0u - std::accumulate(block.begin(), block.end() - 1, uint32_t{0});
    for (uint32_t i = 0; i < 32; ++i) board.poke(0x1800 + 4 * i, block[i]);
}

std::vector<RegisterAccess> pipeline_reset(uint32_t port_enable) {
    std::vector<RegisterAccess> s{store(0x1400, port_enable), store(0x1414, 0), store(0x1408, 0)};
    for (uint32_t a = 0x1418; a < 0x1498; a += 4) s.push_back(store(a, 0));
    s.push_back(store(0x1544, 0));
    s.push_back(store(0x1418, 1));
    s.push_back(store(0x1418, 0));
    for (uint32_t a = 0x2000; a < 0x2058; a += 4) s.push_back(store(a, 0));
    s.push_back(store(0x140C, 0));
    return s;
}

TEST(Initialisation, PortEnablesFollowTheModelAndThePipelineIsReset) {
    const struct {
        const char* model;
        const char* mode;
        uint32_t enables;
    } cases[] = {{"Alder 8", "rhd", 0xFF}, {"Cedar 4", "rhs", 0xFF}, {"Oak 2", "rhd", 0},
                 {"Birch 4", "rhd", 0x55}, {"Birch 4", "rhs", 0xFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + c.mode);
        KessaFixture f;
        write_identity(f.board, c.model);
        auto device = f.open(current_status_text(c.mode), false);
        EXPECT_EQ(f.backend->stores(), pipeline_reset(c.enables));
    }
    KessaFixture invalid_identity;
    auto device = invalid_identity.open(current_status_text("rhd"), false);
    EXPECT_EQ(invalid_identity.backend->stores(), pipeline_reset(0));
}

TEST(Initialisation, SkippedForBootloaderNeuropixelsLegacyAndOnRequest) {
    const std::pair<std::string, std::pair<level_enum, std::string>> cases[] = {
        {current_status_text("bootloader"),
         {spdlog::level::info, "Device in bootloader mode, skipping FPGA initialization"}},
        {"Mode: rhd\nBuild: 2025\nVersion: 1\n",
         {spdlog::level::err, "Legacy firmware detected. Most features will not work. Please update the firmware."}},
    };
    for (const auto& [text, log] : cases) {
        KessaFixture f;
        LogCapture logs;
        auto device = f.open(text, false);
        EXPECT_TRUE(logs.contains(log.first, log.second)) << text;
        EXPECT_TRUE(f.backend->stores().empty()) << text;
    }
    KessaFixture f;
    auto skipped = f.open(current_status_text("rhd"), true);
    EXPECT_TRUE(f.backend->stores().empty());

    // A Neuropixels image needs no Rhythm initialisation: the device never runs it.
    auto backend = std::make_shared<RecordingBackend>(stand_in_backend(f.dir.directory()));
    f.board.set_status_text(current_status_text("np"));
    xdma::Handler handler(backend, f.board.path(), *xdma::Connection::open(*backend, f.board.path()), fast_timing());
    LogCapture logs;
    xdma::initialise(handler);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Neuropixels mode detected, skipping rhythm initialization"));
    EXPECT_TRUE(backend->stores().empty());
}

TEST(Initialisation, RunningPipelineIsAwaitedAndTheChannelFlushed) {
    KessaFixture f;
    f.board.poke(0x14A0, 1);
    f.board.append_stream(std::vector<uint8_t>(3000, 9));
    f.backend->play_file_level(true);
    f.backend->on_store([&](uint32_t address, uint32_t value) {
        if (address == 0x1418 && value == 0) f.board.poke(0x14A0, 0);  // the reset stops the pipeline
    });
    LogCapture logs;
    auto device = f.open(current_status_text("rhd"), false);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "pipeline was running"));
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Flushed Total 3000"));
    EXPECT_FALSE(logs.contains(spdlog::level::warn, "Pipeline did not stop"));
    EXPECT_TRUE(logs.contains(spdlog::level::debug, "Pipeline status 0 running 0 buffer 0"));
}

TEST(Initialisation, OverflowIsClearedOrTheBoardRebootedOnce) {
    {
        KessaFixture f;
        f.board.poke(0x1410, 1);
        f.backend->on_store([&](uint32_t address, uint32_t value) {
            if (address == 0x140C && value == 1) f.board.poke(0x1410, 0);
        });
        LogCapture logs;
        auto device = f.open(current_status_text("rhd"), false);
        EXPECT_TRUE(logs.contains(spdlog::level::warn, "Overflow detected, clearing..."));
        EXPECT_EQ(f.board.peek(0x140C), 1u);
        EXPECT_EQ(logs.count_containing("Start reboot"), 0u);
    }
    KessaFixture f;
    f.board.poke(0x1410, 1);
    f.board.poke(0x1498, 0x80000005);
    f.board.poke(0x40C, 1);  // icap done at once; the board never leaves: the reboot times out
    LogCapture logs;
    auto device = f.open(current_status_text("rhd"), false);
    EXPECT_TRUE(logs.contains(spdlog::level::debug, "Overflow detected, clearing... wait ... 5 0 1"));
    EXPECT_TRUE(logs.contains(spdlog::level::err, "Overflow cannot be cleared, rebooting..."));
    EXPECT_EQ(logs.count_containing("Start reboot"), 1u);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Reboot result: Failure"));
    const auto stores = f.backend->stores();
    EXPECT_NE(std::ranges::find(stores, store(0x404, 0x300000)), stores.end());  // into the current mode
}

class Reboot : public ::testing::Test, public KessaFixture {
protected:
    /// Plays the board leaving after the last reboot store, then coming back with `new_status`
    /// once the device reports it closed.
    int reboot_through(KessaDevice& device, const std::string& mode, const std::string& new_status) {
        backend->on_store([&](uint32_t address, uint32_t value) {
            const bool start = address == 0x408 && value == 1;
            if (start && board.peek(0x400) == 0x10) board.poke(0x40C, 1);  // icap done
            if ((start && board.peek(0x400) == 4) || (address == 0x150C && value == 1)) board.remove();
        });
        auto result = std::async(std::launch::async, [&] { return device.reboot(mode); });
        if (logs.wait_for(spdlog::level::info, "Device closed")) {
            board.create(new_status);
        }
        return result.get();
    }

    xdma::Timing patient() {
        auto t = fast_timing();
        t.close_timeout = t.open_timeout = std::chrono::seconds(10);
        return t;
    }
    LogCapture logs;
};

TEST_F(Reboot, CurrentImageSequenceThenCloseAndReopen) {
    auto device = open(current_status_text("rhd"), true, patient());
    ASSERT_FALSE(device->np_mode());
    backend->clear();
    EXPECT_EQ(reboot_through(*device, "np", current_status_text("np")), 0);
    // The second start (after 4 and 15) is the last; the board then leaves.
    const std::vector expected{store(0x400, 0x10), store(0x404, 0xB00000), store(0x408, 1), store(0x408, 0),
                               store(0x400, 4),    store(0x404, 15),       store(0x408, 1)};
    EXPECT_EQ(backend->stores(), expected);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Start reboot\n"));
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Reboot finished\n"));
    EXPECT_TRUE(device->np_mode());  // the address model follows the new image
    board.poke(0x2400, 0x99);
    EXPECT_EQ(device->get_register(0x2400), 0x99u);
}

TEST_F(Reboot, WaitsForIcapDone) {
    auto device = open(current_status_text("rhd"), true, patient());
    backend->on_store([&](uint32_t address, uint32_t value) {
        if (address == 0x408 && value == 1 && board.peek(0x400) == 4) board.remove();
    });
    auto result = std::async(std::launch::async, [&] { return device->reboot("rhs"); });
    // icap_done rises only once the device is seen waiting for it.
    ASSERT_TRUE(logs.wait_for(spdlog::level::debug, "Waiting for icap_done\n"));
    board.poke(0x40C, 1);
    ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
    board.create(current_status_text("rhs"));
    EXPECT_EQ(result.get(), 0);
    EXPECT_FALSE(device->np_mode());
}

TEST_F(Reboot, LegacyImageSequence) {
    auto device = open(current_status_text("np"), true, patient());
    board.poke(0x208, 0x4E500011);
    backend->clear();
    EXPECT_EQ(reboot_through(*device, "rhd", current_status_text("rhd")), 0);
    const std::vector expected{store(0x1500, 0xFFFFFFFF), store(0x1500, 0xAA995566), store(0x1500, 0x20000000),
                               store(0x1500, 0x30020001), store(0x1500, 0x300000),   store(0x1500, 0x30008001),
                               store(0x1500, 0x0000000F), store(0x1500, 0x20000000), store(0x150C, 1)};
    EXPECT_EQ(backend->stores(), expected);
    EXPECT_FALSE(device->np_mode());
}

TEST_F(Reboot, UnknownModeThrowsBeforeAnyRegisterAccess) {
    auto device = open(current_status_text("rhd"));
    backend->clear();
    try {
        (void)device->reboot("rhx");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown Boot Mode\n");
    }
    EXPECT_TRUE(backend->accesses().empty());
}

TEST_F(Reboot, TimeoutsAndFailuresReportOne) {
    {
        auto device = open(current_status_text("rhd"));  // icap_done never rises
        EXPECT_EQ(device->reboot("np"), 1);
        EXPECT_TRUE(logs.contains(spdlog::level::err, "Failed to send reboot timeout waiting for icap_done"));
        EXPECT_EQ(device->get_register(0x1404), 0u);  // the connection stays open
    }
    board.poke(0x40C, 1);
    {
        auto device = open(current_status_text("rhd"));  // the board never leaves
        EXPECT_EQ(device->reboot("np"), 1);
        EXPECT_TRUE(logs.contains(spdlog::level::err, "Timeout closing device"));
        EXPECT_EQ(device->get_register(0x1404), 0u);  // reopened: still usable
    }
    {
        auto device = open(current_status_text("rhd"));  // the board leaves and never returns
        backend->on_store([&](uint32_t address, uint32_t value) {
            if (address == 0x408 && value == 1 && board.peek(0x400) == 4) board.remove();
        });
        EXPECT_EQ(device->reboot("np"), 1);
        EXPECT_TRUE(logs.contains(spdlog::level::info, "Device closed"));
        EXPECT_TRUE(logs.contains(spdlog::level::err, "Timeout open device"));
        EXPECT_EQ(device->get_status(), std::unexpected("Device unusable: Timeout open device"));
        backend->on_store({});
    }
    board.create();
    board.poke(0x40C, 1);
    {
        auto device = open(current_status_text("rhd"), true, patient());  // it returns without its c2h node
        backend->on_store([&](uint32_t address, uint32_t value) {
            if (address == 0x408 && value == 1 && board.peek(0x400) == 4) board.remove();
        });
        logs.clear();
        auto result = std::async(std::launch::async, [&] { return device->reboot("np"); });
        ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
        board.create();
        std::filesystem::remove(board.path() + "_c2h_0");
        EXPECT_EQ(result.get(), 1);
        EXPECT_TRUE(logs.contains(spdlog::level::err,
                                  "Failed to open device after reboot Error opening c2h device, win32 error code: " + coded(2)));
    }
}

// Where the system shows no PCI address (Windows; Linux sysfs without the
// device link), the rebooted board is found again by the serial number of
// its identity block, under the new node the driver gives it; the other
// board, listed before it, is left alone. A returning board without a valid
// block is taken at its old node only.
TEST(RebootOfOneOfTwoBoards, WithoutAnAddressTheBoardIsFoundAgainBySerialNumber) {
    struct Case {
        const char* name;
        unsigned returns_as;
        bool identity_after;
        int result;
    };
    const Case cases[] = {
        {"under a new node", 2, true, 0},
        {"under its old node", 1, true, 0},
        {"under a new node without its identity block", 2, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StandInDirectory dir;
        auto& other = dir.add(0);
        other.set_status_text(current_status_text("np"));
        write_identity(other, "Cedar 8", 0x0C0FFEE2);
        auto& rebooted = dir.add(1);
        rebooted.set_status_text(current_status_text("rhd"));
        write_identity(rebooted, "Cedar 8", 0x0C0FFEE1);
        auto backend = std::make_shared<RecordingBackend>(stand_in_backend(dir.directory()));
        ASSERT_EQ(backend->board_address(rebooted.path()), std::nullopt);
        auto timing = fast_timing();
        timing.close_timeout = std::chrono::seconds(5);
        timing.open_timeout = std::chrono::milliseconds(c.result == 0 ? 5000 : 50);
        KessaDevice device(backend, rebooted.path(), true, timing);
        backend->on_store([&](uint32_t address, uint32_t value) {
            const bool start = address == 0x408 && value == 1;
            if (start && rebooted.peek(0x400) == 0x10) rebooted.poke(0x40C, 1);  // icap done
            if (start && rebooted.peek(0x400) == 4) rebooted.remove();
        });
        LogCapture logs;
        auto result = std::async(std::launch::async, [&] { return device.reboot("np"); });
        ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
        StandInBoard returned(dir.directory(), c.returns_as, STAND_IN_REGISTER_BYTES);
        returned.create(current_status_text("np"));
        if (c.identity_after) write_identity(returned, "Cedar 8", 0x0C0FFEE1);
        ASSERT_EQ(result.get(), c.result);
        if (c.result != 0) {
            EXPECT_TRUE(logs.contains(spdlog::level::err, "Timeout open device"));
            returned.remove();
            continue;
        }
        EXPECT_EQ(device.path(), returned.path());
        EXPECT_EQ(logs.count_containing("(serial number 0C0FFEE1) is back as"), c.returns_as != 1 ? 1u : 0u);
        other.poke(0x2400, 0x22);
        returned.poke(0x2400, 0x33);
        EXPECT_EQ(device.get_register(0x2400), 0x33u);
        EXPECT_EQ(other.peek(0x2400), 0x22u);
        returned.remove();
    }
}

#ifndef _WIN32
// With two boards the driver numbers a returning board after the last one
// (xdma0 comes back as xdma2): the rebooted board is found again by its PCI
// address, and the other board is left alone.
TEST(RebootOfOneOfTwoBoards, TheBoardIsFoundAgainByItsPciAddressUnderItsNewNode) {
    namespace fs = std::filesystem;
    StandInDirectory dir;
    pelionp::test::TempDir sysfs;
    // The kernel's view: /sys/class/xdma/xdmaN_user/device -> the PCI function.
    const auto show = [&](unsigned n, const std::string& address) {
        const auto function = sysfs.path() / "devices" / "pci0000:00" / address;
        const auto node = sysfs.path() / "class" / "xdma" / fmt::format("xdma{}_user", n);
        fs::create_directories(function);
        fs::create_directories(node);
        fs::create_directory_symlink(function, node / "device");
    };
    show(0, "0000:03:00.0");
    show(1, "0000:04:00.0");
    auto& rebooted = dir.add(0);
    rebooted.set_status_text(current_status_text("rhd"));
    auto& other = dir.add(1);
    other.set_status_text(current_status_text("np"));
    other.poke(0x2400, 0x22);
    auto backend = std::make_shared<RecordingBackend>(xdma::platform::linux_backend(dir.directory(), sysfs.path()));
    auto timing = fast_timing();
    timing.close_timeout = timing.open_timeout = std::chrono::seconds(5);
    KessaDevice device(backend, rebooted.path(), true, timing);

    backend->on_store([&](uint32_t address, uint32_t value) {
        const bool start = address == 0x408 && value == 1;
        if (start && rebooted.peek(0x400) == 0x10) rebooted.poke(0x40C, 1);  // icap done
        if (start && rebooted.peek(0x400) == 4) {
            rebooted.remove();
            fs::remove_all(sysfs.path() / "class" / "xdma" / "xdma0_user");
        }
    });
    LogCapture logs;
    auto result = std::async(std::launch::async, [&] { return device.reboot("np"); });
    ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
    show(2, "0000:03:00.0");
    StandInBoard returned(dir.directory(), 2, STAND_IN_REGISTER_BYTES);
    returned.create(current_status_text("np"));
    ASSERT_EQ(result.get(), 0);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Reboot finished\n"));
    EXPECT_TRUE(device.np_mode());
    EXPECT_EQ(device.path(), returned.path());
    returned.poke(0x2400, 0x33);
    EXPECT_EQ(device.get_register(0x2400), 0x33u);
    EXPECT_EQ(other.peek(0x2400), 0x22u);
    returned.remove();
}
#endif

}  // namespace
}  // namespace pelio::test
