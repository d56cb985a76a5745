// The Linux XDMA backend (Linux only), and the connection over stand-in
// boards through the platform's backend.
#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <stdexcept>

#include "kessa_device_manager/connection.h"
#include "kessa_device_manager/platform/platform.h"
#include "tests/kessa_device_manager/stand_in_board.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using xdma::Connection;
using pelionp::test::LogCapture;

#ifndef _WIN32
TEST(LinuxBackend, ListsUserNodesSortedByCardNumber) {
    StandInDirectory dir;
    auto backend = xdma::platform::linux_backend(dir.directory());
    EXPECT_TRUE(backend->list_devices().empty());

    dir.add(10);
    dir.add(2);
    dir.add(0);
    // Not user nodes of a card: ignored.
    for (const char* junk : {"xdma_user", "xdmaX_user", "xdma3_c2h_0", "xdma4_user.bak", "other"}) {
        std::ofstream(dir.directory() / junk);
    }
    const auto base = dir.directory().string();
    EXPECT_EQ(backend->list_devices(),
              (std::vector<std::string>{base + "/xdma0", base + "/xdma2", base + "/xdma10"}));
}

TEST(LinuxBackend, EnumeratingAMissingDirectoryThrows) {
    auto backend = xdma::platform::linux_backend("/nonexistent-kessa-directory");
    EXPECT_THROW((void)backend->list_devices(), std::runtime_error);
}

TEST(LinuxBackend, OpenNamesTheStepThatFailed) {
    StandInDirectory dir;
    auto backend = xdma::platform::linux_backend(dir.directory());
    auto& board = dir.add(0);
    const auto base = dir.directory() / "xdma0";

    std::filesystem::remove(base.string() + "_h2c_0");
    EXPECT_EQ(Connection::open(*backend, board.path()).error(), "Error opening h2c device, win32 error code: 2 (No such file or directory)");
    std::filesystem::remove(base.string() + "_c2h_0");
    EXPECT_EQ(Connection::open(*backend, board.path()).error(), "Error opening c2h device, win32 error code: 2 (No such file or directory)");
    std::filesystem::remove(base.string() + "_user");
    EXPECT_EQ(Connection::open(*backend, board.path()).error(), "Error opening mm device, win32 error code: 2 (No such file or directory)");

    dir.add(1, 0);  // an empty register file cannot be mapped
    EXPECT_EQ(Connection::open(*backend, dir.board(1).path()).error(),
              "Error mapping user bar to userspace: user BAR is empty");
}

#endif  // _WIN32

TEST(Connection, RegistersAreCheckedForAlignmentAndBounds) {
    StandInDirectory dir;
    auto& board = dir.add(0, 0x2000);
    auto connection = Connection::open(*stand_in_backend(dir.directory()), board.path());
    ASSERT_TRUE(connection) << connection.error();
    EXPECT_EQ(connection->register_space_bytes(), 0x2000u);

    board.poke(0x1FFC, 0xCAFEF00D);
    EXPECT_EQ(connection->read_register(0x1FFC), 0xCAFEF00Du);
    connection->write_register(0x10, 0x12345678);
    EXPECT_EQ(board.peek(0x10), 0x12345678u);

    auto message = [&](auto&& access) {
        try {
            access();
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    EXPECT_EQ(message([&] { (void)connection->read_register(2); }), "Address not aligned");
    EXPECT_EQ(message([&] { (void)connection->read_register(0x2000); }), "Address out of bounds");
    EXPECT_EQ(message([&] { connection->write_register(0x11, 0); }), "Address not aligned");
    EXPECT_EQ(message([&] { connection->write_register(0x2000, 0); }), "Address out of bounds");
}

TEST(Connection, TransferSizeIsAClampedPowerOfTwo) {
    StandInDirectory dir;
    auto& board = dir.add(0);
    auto connection = Connection::open(*stand_in_backend(dir.directory()), board.path());
    ASSERT_TRUE(connection);

    EXPECT_EQ(connection->set_transfer_size(3000), 4096u);
    EXPECT_EQ(board.peek(0x1404), 12u);
    EXPECT_EQ(connection->set_transfer_size(0x400000), 0x100000u);
    EXPECT_EQ(board.peek(0x1404), 20u);
    EXPECT_EQ(connection->set_transfer_size(0x30000), 0x20000u);
    EXPECT_EQ(board.peek(0x1404), 17u);

    board.poke(0x1404, 0x80 | 14);  // TLAST enable does not count
    EXPECT_EQ(connection->set_transfer_size(0), 1u << 14);

    dir.add(1, 0x1404);  // no room for the transfer-size register
    auto small = Connection::open(*stand_in_backend(dir.directory()), dir.board(1).path());
    ASSERT_TRUE(small);
    EXPECT_THROW(small->set_transfer_size(0), std::runtime_error);
}

TEST(Connection, ReadsWritesAndFlushesTheDmaChannels) {
    StandInDirectory dir;
    auto& board = dir.add(0);
    auto connection = Connection::open(*stand_in_backend(dir.directory()), board.path());
    ASSERT_TRUE(connection);

    std::vector<uint8_t> stream(xdma::TRANSFER_BYTES + 100);
    std::iota(stream.begin(), stream.end(), uint8_t{0});
    board.append_stream(stream);

    auto first = connection->c2h_read(8192);
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(board.peek(0x1404), 13u);
    EXPECT_EQ(first->size(), xdma::TRANSFER_BYTES);  // every read asks for 1 MiB
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->data()) % xdma::BUFFER_ALIGNMENT, 0u);
    EXPECT_EQ(first->data()[255], 255);

    auto rest = connection->read_chunk();
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->size(), 100u);
    EXPECT_EQ(rest->data()[0], static_cast<uint8_t>(xdma::TRANSFER_BYTES % 256));

    board.append_stream(std::vector<uint8_t>(5000, 7));
    board.poke(xdma::BUFFER_LEVEL_REGISTER, 0x80000000u | 5000u);  // the board says data waits
    LogCapture logs;
    EXPECT_EQ(connection->flush().bytes, 5000u);
    EXPECT_TRUE(logs.contains(spdlog::level::info, "Flushed Total 5000"));

    const std::vector<uint8_t> out{1, 2, 3, 4, 5};
    EXPECT_EQ(connection->h2c_write(out), 5u);
    EXPECT_EQ(board.written(), out);
}

}  // namespace
}  // namespace pelio::test
