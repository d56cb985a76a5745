// Status map, status document and identity over stand-in register files.
#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "kessa_device_manager/identity.h"
#include "kessa_device_manager/status.h"
#include "tests/kessa_device_manager/stand_in_board.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using pelionp::test::LogCapture;
using xdma::Handler;

class StatusTest : public ::testing::Test {
protected:
    StatusTest() : board(dir.add(0)) {}

    Handler& handler() {
        if (!handler_) {
            auto backend = stand_in_backend(dir.directory());
            auto connection = xdma::Connection::open(*backend, board.path());
            if (!connection) throw std::runtime_error(connection.error());
            handler_ = std::make_unique<Handler>(backend, board.path(), std::move(*connection));
        }
        return *handler_;
    }
    std::expected<std::string, std::string> status(const std::string& text) {
        board.set_status_text(text);
        return xdma::status_document(handler());
    }

    StandInDirectory dir;
    StandInBoard& board;
    std::unique_ptr<Handler> handler_;
};

TEST_F(StatusTest, DocumentHasTheExactLayout) {
    board.poke(0x1008, 0x1281);
    EXPECT_EQ(status("Git: 1.4.2 - g1234abc\nBuild: 2025-08-01 10:00:00\nDate: 2025-08-02\nTarget: np\nAPI: 1\n"),
              R"({"Version": "1.4.2","Build": "2025-08-01 10:00:00","Date": "2025-08-02","Mode": "np","API": "1",)"
              R"("Expander": true,"Capabilities": {"Device Timestamp": ["Internal", "SyncLink"] }})");

    board.poke(0x1008, 0x80);
    EXPECT_EQ(status("Version: 2.0\nBuild: 2024-01-01 00:00:00\nMode: rhd\n"),
              R"({"Version": "2.0","Build": "2024-01-01 00:00:00","Date": "2024-01-01 00:00:00","Mode": "rhd",)"
              R"("API": "0","Expander": false,"Capabilities": {"Device Timestamp": [] }})");
}

TEST_F(StatusTest, RenamesGitAndTargetAndCutsTheVersion) {
    const auto map = xdma::parse_status_text("Git: v3 -dirty - more\nTarget: rhs\nOther: a: b\nnoseparator\n");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->at("Version"), "v3");
    EXPECT_EQ(map->at("Mode"), "rhs");
    EXPECT_EQ(map->at("Other"), "a: b");  // split at the first ": " only
    EXPECT_FALSE(map->contains("Git"));
    EXPECT_FALSE(map->contains("Target"));
    EXPECT_FALSE(map->contains("Date"));  // no "Build" to take it from
}

TEST_F(StatusTest, InternalTimestampOnlyAfterTheReferenceBuild) {
    const auto internal = [](const std::string& build) {
        return xdma::parse_status_text("Mode: np\nBuild: " + build)->at("internal_clock_timestamp");
    };
    EXPECT_EQ(internal("2025-07-03 13:02:47"), "false");
    EXPECT_EQ(internal("2025-07-03 13:02:48"), "true");
    EXPECT_EQ(internal("2025-07-03 13:02:47 extra"), "false");  // compared over 19 characters
    EXPECT_EQ(internal("2025-07-03"), "false");
    EXPECT_EQ(internal("2026"), "true");
}

TEST_F(StatusTest, MissingApiMeansApiZeroWithoutSyncLink) {
    const auto without = xdma::parse_status_text("Mode: rhd\nBuild: 2024-01-01 00:00:00\n");
    EXPECT_EQ(without->at("API"), "0");
    EXPECT_EQ(without->at("synclink_clock_timestamp"), "false");
    const auto with = xdma::parse_status_text("Mode: rhd\nAPI: 3\n");
    EXPECT_EQ(with->at("API"), "3");
    EXPECT_EQ(with->at("synclink_clock_timestamp"), "true");
}

TEST_F(StatusTest, StatusWithoutModeCountsAsUnread) {
    LogCapture logs;
    EXPECT_EQ(status("Git: 1\nBuild: 2025-08-01 10:00:00\nAPI: 1\n"), std::unexpected("Failed to read status"));
    EXPECT_TRUE(logs.contains(spdlog::level::err,
                              "Status does not contain Mode: Git: 1\nBuild: 2025-08-01 10:00:00\nAPI: 1\n"));
    EXPECT_EQ(status("Mode: np\nGit: 1\n"), std::unexpected("Incomplete status information"));  // no Build
    EXPECT_EQ(status("Mode: np\nBuild: 2025\n"), std::unexpected("Incomplete status information"));  // no Version
}

TEST_F(StatusTest, AStatusValueThatIsNotUtf8FailsTheReadInsteadOfThrowing) {
    LogCapture logs;
    std::expected<std::string, std::string> result;
    ASSERT_NO_THROW(result = status("Git: 1.4\xff\nBuild: 2025-08-01 10:00:00\nTarget: np\nAPI: 1\n"));
    EXPECT_EQ(result, std::unexpected("Failed to read status"));
    const auto errors = logs.at(spdlog::level::err);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with("Cannot Get Status: [json.exception.type_error.316]")) << errors[0];
}

TEST_F(StatusTest, ExpanderNeedsAnApiOtherThanZero) {
    board.poke(0x1008, 0x81);
    const auto expander = [&](const std::string& api_line) {
        const auto document = status("Git: 1\nBuild: 2024-01-01 00:00:00\nTarget: np\n" + api_line);
        return document ? document->find("\"Expander\": true") != std::string::npos : false;
    };
    EXPECT_TRUE(expander("API: 1\n"));
    EXPECT_TRUE(expander("API: 2\n"));
    EXPECT_FALSE(expander("API: 0\n"));
    EXPECT_FALSE(expander(""));  // no API line reads as "0"
    board.poke(0x1008, 0x181);   // only the low byte counts
    EXPECT_TRUE(expander("API: 1\n"));
    board.poke(0x1008, 0x80);
    EXPECT_FALSE(expander("API: 1\n"));
}

TEST_F(StatusTest, StatusTextStopsAtTheFirstNul) {
    board.set_status_text("Mode: rhd\nBuild: 1\nVersion: 2\n");
    board.poke(4 * 9, 0xAB00);  // the byte that counts is the low one: NUL after "Mode: rhd"
    const auto map = xdma::read_status_map(handler());
    ASSERT_TRUE(map);
    EXPECT_EQ(map->at("Mode"), "rhd");
    EXPECT_FALSE(map->contains("Build"));
}

TEST_F(StatusTest, ARegisterSpaceTooSmallFailsTheRead) {
    dir.add(1, 0x100);
    auto backend = stand_in_backend(dir.directory());
    Handler small(backend, dir.board(1).path(), *xdma::Connection::open(*backend, dir.board(1).path()));
    LogCapture logs;
    EXPECT_EQ(xdma::status_document(small), std::unexpected("Failed to read status"));
    EXPECT_TRUE(logs.contains(spdlog::level::err, "Cannot Get Status: Address out of bounds"));
}

TEST_F(StatusTest, LegacyImageReportsItsTimestampAndApiZero) {
    // 2021-03-15 09:41:07: day 15, month 3, year 21, hour 9, minute 41, second 7
    const uint32_t timestamp = (15u << 27) | (3u << 23) | (21u << 17) | (9u << 12) | (41u << 6) | 7u;
    board.poke(0x208, 0x4E500241);
    board.poke(0x8, timestamp);
    board.poke(0x1600, 0xBEEF);
    EXPECT_EQ(xdma::bitstream_timestamp(timestamp), "2021-03-15 09:41:07");

    LogCapture logs;
    EXPECT_EQ(xdma::status_document(handler()),
              R"({"Version": "2021-03-15 09:41:07","Build": "2021-03-15 09:41:07","Date": "2021-03-15 09:41:07",)"
              R"("Mode": "np","API": "0","Expander": false,"Capabilities": {"Device Timestamp": [] }})");
    EXPECT_TRUE(logs.contains(spdlog::level::warn, "Legacy Neuropixels firmware detected, please update the firmware."));
    EXPECT_EQ(xdma::info_document(handler()), R"({"Pelio Model":"Alder 2","Serial Number":"0000BEEF","RHD":2,"NP":4})");

    board.poke(0x208, 0x4E50FF32);
    EXPECT_EQ(xdma::info_document(handler()), R"({"Pelio Model":"Birch 2","Serial Number":"0000BEEF","RHD":15,"NP":3})");
    EXPECT_EQ(xdma::legacy_model(0x4E500000), "Birch 2");

    // Just outside the signature range: a current image, whose text is empty.
    board.poke(0x208, 0x4E510001);
    EXPECT_EQ(xdma::status_document(handler()), std::unexpected("Failed to read status"));
    board.poke(0x208, 0x4E4FFFFF);
    EXPECT_FALSE(xdma::legacy_signature(handler()));
}

// Builds a block by the documented layout, independently of the decoder.
std::array<uint32_t, 32> identity_block(const std::string& model, uint32_t codes, uint32_t ports, uint32_t serial) {
    std::array<uint32_t, 32> block{};
    block[0] = 0x4B424944;
    block[1] = (1u << 16) | codes;
    block[2] = ports;
    block[3] = serial;
    for (std::size_t i = 0; i < model.size(); ++i) block[4 + i / 4] |= uint32_t(uint8_t(model[i])) << (8 * (i % 4));
    block[31] = 0u - std::accumulate(block.begin(), block.end() - 1, uint32_t{0});
    return block;
}

TEST_F(StatusTest, IdentityBlockDecodesIntoTheInfoDocument) {
    const auto block = identity_block("Cedar 8", 0x0201, 0x040008, 0x1234ABCD);
    for (uint32_t i = 0; i < 32; ++i) board.poke(0x1800 + 4 * i, block[i]);
    board.poke(0x1C00, 0x01234567);
    board.poke(0x1C04, 0x89ABCDEF);
    EXPECT_EQ(xdma::info_document(handler()),
              R"({"FPGA Vender":"Xilinx","Flash Memory":"256 Mbit","Pelio Model":"Cedar 8",)"
              R"("Serial Number":"1234ABCD","RHD":8,"RHS":0,"NP":4,"ID":"0123456789ABCDEF"})");
    EXPECT_EQ(xdma::identity_model(handler()), "Cedar 8");

    board.poke(0x1800 + 4 * 3, 0x1234ABCE);  // checksum no longer holds
    EXPECT_EQ(xdma::info_document(handler()), R"({"Error":"Invalid","ID":"0123456789ABCDEF"})");
    EXPECT_EQ(xdma::identity_model(handler()), "");
}

TEST(Identity, DecodingRejectsWhatTheLayoutRules) {
    const auto valid = identity_block("Alder 8 with a thirty-two char n", 0x0905, 0x030201, 7);
    const auto decoded = xdma::decode_identity(valid);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->model, "Alder 8 with a thirty-two char n");
    EXPECT_EQ(decoded->fpga_vendor, "Unknown (5)");
    EXPECT_EQ(decoded->flash_memory, "Unknown (9)");
    EXPECT_EQ((std::array{decoded->rhd, decoded->rhs, decoded->np}), (std::array{1u, 2u, 3u}));

    std::array<uint32_t, 32> erased;
    erased.fill(0xFFFFFFFF);
    EXPECT_FALSE(xdma::decode_identity(erased));
    EXPECT_FALSE(xdma::decode_identity({}));
    EXPECT_FALSE(xdma::decode_identity(identity_block("", 0x0101, 0, 1)));          // no model name
    EXPECT_FALSE(xdma::decode_identity(identity_block("Bad\x01name", 0x0101, 0, 1)));  // not printable
    auto wrong_version = valid;
    wrong_version[1] += 1u << 16;
    wrong_version[31] -= 1u << 16;  // checksum still holds
    EXPECT_FALSE(xdma::decode_identity(wrong_version));
}

}  // namespace
}  // namespace pelio::test
