// The device manager over stand-in boards, and the built module through the loader.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <nlohmann/json.hpp>

#include "kessa_device_manager/kessa_device_manager.h"
#include "pelio_device/logging.h"
#include "pelio_device/loader.h"
#include "tests/kessa_device_manager/fixture.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using pelionp::test::LogCapture;

constexpr const char* INFO_TEXT =
    "{\n"
    "    \"name\":\"Pelio Thunderbolt\",\n"
    "    \"description\":\"The manager supports the latest Thunderbolt interfaces, ensuring low-latency and "
    "high-performance data transfer for advanced neuroscience research.\"\n"
    "}";

class Manager : public ::testing::Test {
protected:
    std::shared_ptr<kessa_device_manager> make(xdma::Timing timing = fast_timing()) {
        return std::make_shared<kessa_device_manager>(stand_in_backend(dir.directory()), timing);
    }
    /// The message of the exception `create_device` throws.
    template <class Exception = std::runtime_error>
    std::string failure(const std::string& configuration) {
        try {
            (void)make()->create_device(configuration);
        } catch (const Exception& e) {
            return e.what();
        }
        return "no exception";
    }
    StandInDirectory dir;
};

TEST_F(Manager, InfoAndListTexts) {
    auto manager = make();
    EXPECT_EQ(manager->info(), INFO_TEXT);
    EXPECT_EQ(manager->list_devices(), "[]");
    for (unsigned n : {2u, 0u, 1u}) dir.add(n);
    EXPECT_EQ(manager->list_devices(), R"([{"id": 0},{"id": 1},{"id": 2}])");
}

// The options text is part of what a host shows and stores: pinned whole.
constexpr const char* OPTIONS_TEXT = R"({
    "type": "object",
    "properties": {
        "id": {
            "type": "integer",
            "default": 0
        },
        "mode": {
            "type": "string",
            "enum": [
                "bootloader",
                "rhd",
                "rhs",
                "np"
            ]
        },
        "skip_init": {
            "type": "boolean",
            "default": false,
            "description": "Skip FPGA initialization"
        }
    },
    "required": [
        "id"
    ]
})";

TEST_F(Manager, OptionsAreTheFourSpaceIndentedSchema) {
    const auto options = make()->device_options();
    EXPECT_EQ(options, OPTIONS_TEXT);
    EXPECT_EQ(nlohmann::ordered_json::parse(options).dump(4), options);
}

TEST_F(Manager, EmptyConfigurationOpensDeviceZeroWithInitialisation) {
    for (unsigned n : {0u, 1u}) dir.add(n).set_status_text(current_status_text("rhd"));
    auto manager = make();
    auto device = manager->create_device("{}");
    ASSERT_TRUE(device);
    EXPECT_EQ(dynamic_cast<KessaDevice&>(*device).path(), dir.board(0).path());
    EXPECT_EQ(manager->managed_devices(), std::vector<std::string>{R"({"id":0})"});
    EXPECT_EQ(dir.board(0).peek(0x1418), 0u);
    EXPECT_EQ(dir.board(0).peek(0x1400), 0u);  // initialised: no model, ports off
    dir.board(1).poke(0x1400, 0x33);
    auto second = manager->create_device(R"({"id": 1, "skip_init": true})");
    EXPECT_EQ(dynamic_cast<KessaDevice&>(*second).path(), dir.board(1).path());
    EXPECT_EQ(dir.board(1).peek(0x1400), 0x33u);  // initialisation skipped
    EXPECT_EQ(manager->managed_devices(), (std::vector<std::string>{R"({"id":0})", R"({"id":1})"}));
}

TEST_F(Manager, ConfigurationsAreParsedAndValidated) {
    dir.add(0).set_status_text(current_status_text("np"));
    EXPECT_TRUE(failure("{\"id\": ").starts_with("Failed to parse configuration: [json.exception.parse_error"));
    for (const char* invalid : {R"({"mode": "turbo"})", R"({"id": "0"})", R"({"id": 0.5})",
                                R"({"skip_init": "yes"})", R"({"mode": 3})", "[]", "7"}) {
        EXPECT_TRUE(failure(invalid).starts_with("Invalid configuration: ")) << invalid << ": " << failure(invalid);
    }
    EXPECT_EQ(failure(R"({"mode": "turbo"})"),
              "Invalid configuration: <root>[mode]: Failed to match against any enum values.; "
              "<root>: Failed to validate against schema associated with property name 'mode'.");
    EXPECT_EQ(failure<std::out_of_range>(R"({"id": 1})"), "invalid vector subscript");
    EXPECT_EQ(failure<std::out_of_range>(R"({"id": -1})"), "invalid vector subscript");
    dir.board(0).remove();
    dir.add(0, 0x100);  // a register space too small for the status
    EXPECT_EQ(failure(R"({"mode": "np"})"), "Cannot get device status: Failed to read status");
}

TEST_F(Manager, RequestedModeRebootsOnlyWhenItDiffers) {
    auto& board = dir.add(0);
    board.set_status_text(current_status_text("np"));
    LogCapture logs;
    auto same = make()->create_device(R"({"mode": "np"})");
    EXPECT_EQ(logs.count_containing("Start reboot"), 0u);
    same.reset();

    board.poke(0x40C, 1);  // the board accepts the reboot but never leaves
    EXPECT_EQ(failure(R"({"mode": "rhs"})"), "Pelio Reboot Failed");
    EXPECT_TRUE(logs.contains(spdlog::level::err, "Timeout closing device"));
}

// The module logs through the host's logger (on Windows its own spdlog is
// apart from the host's): at the host's level, into the host's sinks.
TEST(Loader, TheModuleLogsThroughTheHostsLoggerAtItsLevel) {
    pelio::use_logger(spdlog::default_logger());
    LogCapture logs;  // a sink on the host's default logger, at trace level
    ASSERT_TRUE(load_device_manager(KESSA_DEVICE_MANAGER_MODULE));
    EXPECT_EQ(logs.count_containing("kessa_device_manager: a new manager"), 1u);
    spdlog::default_logger()->set_level(spdlog::level::info);
    ASSERT_TRUE(load_device_manager(KESSA_DEVICE_MANAGER_MODULE));
    EXPECT_EQ(logs.count_containing("kessa_device_manager: a new manager"), 1u);  // below the host's level
}

TEST(Loader, LoadsTheBuiltModuleWhichStaysPinnedAfterTheLastManager) {
    const std::filesystem::path module = KESSA_DEVICE_MANAGER_MODULE;
    auto loaded = load_device_manager(module);
    ASSERT_TRUE(loaded) << loaded.error();
    auto manager = std::move(*loaded);
    EXPECT_EQ(manager->info(), INFO_TEXT);
#ifdef _WIN32
    // NB: under Wine the module's own name is a drive path (Z:\...) for the
    // same file.
    EXPECT_TRUE(std::filesystem::equivalent(manager->location(), module)) << manager->location().string();
    EXPECT_TRUE(manager->location().is_absolute());
#else
    EXPECT_EQ(manager->location(), std::filesystem::canonical(module));
#endif
    EXPECT_TRUE(nlohmann::json::parse(manager->device_options()).contains("properties"));

    // The system's own boards: the text follows what the driver has made.
#ifdef _WIN32
    EXPECT_EQ(nlohmann::json::parse(manager->list_devices()).size(),
              xdma::platform::native_backend()->list_devices().size());
    const auto still_loaded = [&] { return ::GetModuleHandleW(module.filename().c_str()) != nullptr; };
#else
    std::size_t boards = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
        const auto name = entry.path().filename().string();
        boards += name.starts_with("xdma") && name.ends_with("_user");
    }
    EXPECT_EQ(nlohmann::json::parse(manager->list_devices()).size(), boards);

    const auto still_loaded = [&] {
        void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) ::dlclose(handle);
        return handle != nullptr;
    };
#endif
    EXPECT_TRUE(still_loaded());
    auto second_owner = manager;
    manager.reset();
    EXPECT_TRUE(still_loaded());
    // The module pinned itself: its buffers, streams and signal handler may
    // outlive the host's last reference to it.
    second_owner.reset();
    EXPECT_TRUE(still_loaded());
}

}  // namespace
}  // namespace pelio::test
