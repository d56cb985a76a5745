// Buffers and streams of the plug-in keep its module loaded: a buffer
// released after every device and manager is gone must not jump into
// unloaded code. A reference with a deleter stands for the loaded module.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <variant>

#include "kessa_device_manager/kessa_device_manager.h"
#include "pelio_device/module_reference.h"
#include "tests/kessa_device_manager/fixture.h"

namespace pelio::test {
namespace {

struct StandInModule {
    std::atomic<bool> unloaded{false};
    ModuleReference reference() {
        return ModuleReference(static_cast<const void*>(this), [this](const void*) { unloaded = true; });
    }
};

class Keeper {
public:
    BasicDevice::StreamCallback callback() {
        return [this](DataStream::Events&& event) {
            auto* data = std::get_if<DataStream::OwnedData>(&event);
            if (data == nullptr) return;
            std::scoped_lock lock(mutex_);
            kept_.push_back(data->take());
            changed_.notify_all();
        };
    }
    bool wait_for_one() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !kept_.empty(); });
    }
    void release() {
        std::scoped_lock lock(mutex_);
        kept_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DataStream::OwnedData::Buffer> kept_;
};

TEST(ModuleLifetime, ABufferKeepsTheModuleUntilItIsReleased) {
    StandInModule module;
    Keeper keeper;
    {
        KessaFixture f;
        f.board.set_status_text(current_status_text("np"));
        auto device = std::make_unique<KessaDevice>(f.backend, f.board.path(), true, fast_timing(), module.reference());
        f.board.append_stream(std::vector<uint8_t>(256, 1));
        auto stream = device->start_read_stream(0, keeper.callback(), 0);
        ASSERT_TRUE(keeper.wait_for_one());
        stream.reset();
        device.reset();
    }
    EXPECT_FALSE(module.unloaded);  // the buffer still holds the module
    keeper.release();
    EXPECT_TRUE(module.unloaded);
}

TEST(ModuleLifetime, AStreamKeepsTheModuleUntilItIsDestroyed) {
    StandInModule module;
    KessaFixture f;
    f.board.set_status_text(current_status_text("np"));
    auto device = std::make_unique<KessaDevice>(f.backend, f.board.path(), true, fast_timing(), module.reference());
    auto stream = device->start_read_stream(0, [](DataStream::Events&&) {}, 0);
    device.reset();
    EXPECT_FALSE(module.unloaded);
    stream.reset();
    EXPECT_TRUE(module.unloaded);
}

TEST(ModuleLifetime, AManagerTakesTheLoadingModuleAndItsDevicesPassItOn) {
    StandInModule module;
    StandInDirectory dir;
    dir.add(0).set_status_text(current_status_text("np"));
    std::shared_ptr<BasicDevice> device;
    {
        LoadingModuleScope scope(module.reference());
        auto manager = std::make_shared<kessa_device_manager>(stand_in_backend(dir.directory()), fast_timing());
        device = manager->create_device("{}");
    }
    EXPECT_FALSE(module.unloaded);
    device.reset();
    EXPECT_TRUE(module.unloaded);
}

}  // namespace
}  // namespace pelio::test
