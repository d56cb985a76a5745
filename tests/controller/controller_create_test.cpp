// Creation against a device: the API check, the exact device calls of
// construction, the log level. Register order is the point here, so these
// run on the recording device.
#include <memory>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "pelionp/controller/np_controller.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_device.h"

namespace {

using namespace pelionp;
using test::DeviceCall;
using test::RecordingDevice;
using test::set_reg;
using Op = DeviceCall::Op;

std::string status_with_api(const char* api) {
    std::string api_member = api ? fmt::format(R"("API": "{}",)", api) : "";
    return fmt::format(
        R"({{"Version": "1.2.0","Build": "b","Date": "2025-07-03","Mode": "np",{}"Expander": false,"Capabilities": {{"Device Timestamp": ["Internal"] }}}})",
        api_member);
}

std::shared_ptr<RecordingDevice> device_with_status(std::expected<std::string, std::string> status) {
    auto device = std::make_shared<RecordingDevice>();
    device->set_status(std::move(status));
    device->poke(0x1428, 1);  // UART transmitter empty
    return device;
}

TEST(ControllerCreate, AcceptsOnlyTheTextOneAsApi) {
    EXPECT_TRUE(NPController::create(device_with_status(status_with_api("1"))).has_value());
    for (const char* refused : {"2", "01", "1.0", " 1", ""}) {
        auto device = device_with_status(status_with_api(refused));
        auto created = NPController::create(device);
        ASSERT_FALSE(created.has_value()) << refused;
        EXPECT_EQ(created.error(), fmt::format("Unsupported device API version: {} (expected 1)", refused));
        EXPECT_TRUE(device->writes().empty()) << "no register may be written for a refused device";
    }
}

TEST(ControllerCreate, MissingApiIsRefusedWithAnEmptyVersion) {
    auto device = device_with_status(status_with_api(nullptr));
    auto created = NPController::create(device);
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error(), "Unsupported device API version:  (expected 1)");
    EXPECT_EQ(device->calls(), (std::vector<DeviceCall>{{Op::GetStatus}}));
}

TEST(ControllerCreate, StatusFailureIsPassedOnAndTheDeviceReleased) {
    auto device = device_with_status(status_with_api("1"));
    device->fail(Op::GetStatus);
    std::weak_ptr<RecordingDevice> watch = device;
    auto created = NPController::create(std::move(device));
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error(), "Failed to get device status: Failed to read status");
    EXPECT_TRUE(watch.expired());
}

TEST(ControllerCreate, MalformedStatusRaisesTheJsonError) {
    EXPECT_THROW((void)NPController::create(device_with_status("{\"API\": ")), nlohmann::json::parse_error);
    EXPECT_THROW((void)NPController::create(device_with_status(R"({"API": 1})")), nlohmann::json::type_error);
}

TEST(ControllerCreate, ConstructionIssuesExactlyTheseDeviceCalls) {
    auto device = device_with_status(status_with_api("1"));
    auto controller = NPController::create(device);
    ASSERT_TRUE(controller.has_value());

    const auto calls = device->calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), DeviceCall{Op::GetStatus});
    EXPECT_EQ(calls.back(), (DeviceCall{Op::Read, 0, 0}));
    EXPECT_EQ(device->writes(), (std::vector<DeviceCall>{
                                    set_reg(0x1418, 1, 1),  // UART transmitter released
                                    set_reg(0x1400, 0x00000000, 0xFFFF0000),
                                    set_reg(0x1400, 0x1, 0x1),
                                    set_reg(0x1400, 0x2, 0x2),
                                }));
    // The UART's TX-empty wait sits between its release and the power write.
    const auto power = std::ranges::find(calls, set_reg(0x1400, 0x00000000, 0xFFFF0000));
    EXPECT_NE(std::find(calls.begin(), power, DeviceCall{Op::GetRegister, 0x1428}), power);
}

TEST(ControllerCreate, SetsTheProcessLogLevelToInfo) {
    spdlog::set_level(spdlog::level::debug);
    auto controller = NPController::create(device_with_status(status_with_api("1")));
    ASSERT_TRUE(controller.has_value());
    EXPECT_EQ(spdlog::get_level(), spdlog::level::info);
}

TEST(ControllerCreate, TeardownWithoutStreamsWritesNothing) {
    auto device = device_with_status(status_with_api("1"));
    auto controller = NPController::create(device);
    ASSERT_TRUE(controller.has_value());
    device->clear_calls();
    test::LogCapture log;
    controller->reset();
    EXPECT_TRUE(device->writes().empty());
    EXPECT_TRUE(log.records().empty());
}

TEST(ControllerCreate, PortsOutsideZeroToThreeAreRefused) {
    auto controller = NPController::create(device_with_status(status_with_api("1")));
    ASSERT_TRUE(controller.has_value());
    for (int port : {-1, 4, 100}) {
        auto made = (*controller)->get_np_port(port);
        ASSERT_FALSE(made.has_value());
        EXPECT_EQ(made.error(), fmt::format("Invalid NP port {}: ports are numbered 0 to 3", port));
    }
}

}  // namespace
