// Register 0x1404 is shared: the stream thread pulses its end-of-packet bit
// while a host thread sets other bits with masked writes. The stand-in's
// load hook holds one thread between its read and its write while the other
// runs; neither may lose the other's bits.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/kessa_device_manager/fixture.h"

namespace pelio::test {
namespace {

constexpr uint32_t SHARED = 0x1404;
constexpr uint32_t TLAST = 0x80;
constexpr uint32_t PRODUCER = 0x100;
// How long the held thread waits for the other one. Once the two accesses
// are ordered the other thread cannot get in, so the wait runs out; before,
// it gets in within microseconds.
constexpr auto HOLD = std::chrono::milliseconds(100);

/// Counts stores to the shared register and lets a thread wait for them.
class StoreWatch {
public:
    void stored() {
        std::scoped_lock lock(mutex_);
        ++stores_;
        changed_.notify_all();
    }
    void wait_for_more_than(int count) {
        std::unique_lock lock(mutex_);
        (void)changed_.wait_for(lock, HOLD, [&] { return stores_ > count; });
    }
    int count() {
        std::scoped_lock lock(mutex_);
        return stores_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int stores_ = 0;
};

/// Waits for `done` with a generous deadline; false if it never held.
template <class Done>
bool eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

enum class Held { MaskedWrite, Pulse };

class RegisterRace : public ::testing::TestWithParam<Held>, public KessaFixture {};

TEST_P(RegisterRace, NeitherTheMaskedWriteNorTheEndOfPacketPulseLosesBits) {
    auto device = open(current_status_text("np"));
    board.poke(SHARED, 0x14);
    StoreWatch watch;
    std::atomic<bool> armed{true};
    const auto host = std::this_thread::get_id();
    std::unique_ptr<BasicDevice::DataStream> stream;
    auto start_stream = [&] { stream = device->start_read_stream(0, [](DataStream::Events&&) {}, 0); };

    backend->on_store([&](uint32_t address, uint32_t) {
        if (address == SHARED) watch.stored();
    });
    std::atomic<bool> stream_loaded{false};
    backend->on_load([&](uint32_t address, uint32_t) {
        if (address != SHARED) return;
        const bool on_host = std::this_thread::get_id() == host;
        if (GetParam() == Held::MaskedWrite && on_host && armed.exchange(false)) {
            // Between the masked write's read and its write: the stream starts and pulses.
            const int before = watch.count();
            start_stream();
            watch.wait_for_more_than(before + 1);
        } else if (GetParam() == Held::Pulse && !on_host && armed.exchange(false)) {
            // Between the pulse's read and its writes: the host writes.
            const int before = watch.count();
            stream_loaded = true;
            watch.wait_for_more_than(before);
        }
    });

    if (GetParam() == Held::MaskedWrite) {
        EXPECT_EQ(device->set_register(SHARED, PRODUCER, PRODUCER), BasicDeviceStatus::Success);
    } else {
        start_stream();
        ASSERT_TRUE(eventually([&] { return stream_loaded.load(); }));
        EXPECT_EQ(device->set_register(SHARED, PRODUCER, PRODUCER), BasicDeviceStatus::Success);
    }
    // The pulse is done once the register has seen three stores.
    ASSERT_TRUE(eventually([&] { return watch.count() >= 3; }));
    EXPECT_EQ(watch.count(), 3);
    backend->on_load({});
    stream.reset();
    EXPECT_EQ(board.peek(SHARED), 0x14 | PRODUCER | TLAST);
}

INSTANTIATE_TEST_SUITE_P(Held, RegisterRace, ::testing::Values(Held::MaskedWrite, Held::Pulse),
                         [](const auto& info) { return info.param == Held::MaskedWrite ? "MaskedWrite" : "Pulse"; });

}  // namespace
}  // namespace pelio::test
