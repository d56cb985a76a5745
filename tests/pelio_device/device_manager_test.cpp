// The device manager base and the plug-in loader of the host library stand-in.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "pelio_device/device_manager.h"
#include "pelio_device/loader.h"
#include "tests/support/recording_device.h"

namespace pelio {
namespace {

class CountedDevice : public pelionp::test::RecordingDevice {
public:
    explicit CountedDevice(int& alive) : alive_(alive) { ++alive_; }
    ~CountedDevice() override { --alive_; }

private:
    int& alive_;
};

class FakeManager : public DeviceManager {
public:
    explicit FakeManager(int& alive) : alive_(alive) {}
    std::string info() override { return "{}"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "[]"; }
    std::string device_options() override { return "{}"; }
    std::shared_ptr<BasicDevice> create_device(const std::string& configuration) override {
        return manage_device(std::make_unique<CountedDevice>(alive_), configuration);
    }

private:
    int& alive_;
};

TEST(DeviceManager, ManagedDevicesKeepTheirManagerAlive) {
    int alive = 0;
    auto manager = std::make_shared<FakeManager>(alive);
    std::weak_ptr<DeviceManager> watch = manager;
    auto first = manager->create_device(R"({"id":0})");
    auto second = manager->create_device(R"({"id":1})");
    EXPECT_EQ(alive, 2);
    EXPECT_EQ(manager->managed_devices(), (std::vector<std::string>{R"({"id":0})", R"({"id":1})"}));

    manager.reset();
    EXPECT_FALSE(watch.expired());
    first.reset();
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(watch.lock()->managed_devices(), std::vector<std::string>{R"({"id":1})"});
    second.reset();
    EXPECT_EQ(alive, 0);
    EXPECT_TRUE(watch.expired());
}

TEST(DeviceManager, AManagerNotSharedCannotHandOutDevices) {
    int alive = 0;
    FakeManager manager(alive);
    EXPECT_THROW((void)manager.create_device("{}"), std::bad_weak_ptr);
    EXPECT_EQ(alive, 0);  // the device was released, not leaked
}

TEST(Loader, ReportsWhatFailed) {
    const auto missing = load_device_manager("/nonexistent/plug-in.so");
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().starts_with("Cannot load plug-in /nonexistent/plug-in.so: ")) << missing.error();
#ifdef _WIN32
    // The code, then the system's words for it.
    EXPECT_TRUE(missing.error().ends_with(")")) << missing.error();
#else
    EXPECT_TRUE(missing.error().ends_with("No such file or directory")) << missing.error();
#endif

    const auto no_entry = load_device_manager(PELIO_DEVICE_LIBRARY);
    ASSERT_FALSE(no_entry);
    EXPECT_EQ(no_entry.error(), fmt::format("Plug-in {} has no create_manager", PELIO_DEVICE_LIBRARY));
}

}  // namespace
}  // namespace pelio
