// Register 0x1404 is shared: the stream thread pulses its end-of-packet bit
// while a host thread sets other bits with masked writes. The stand-in's
// load hook holds one thread between its read and its write until the other
// has either stored to the register (the sequences interleave) or sleeps
// blocked on a lock (they are ordered): a forced interleaving, not a time
// window. Neither may lose the other's bits.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "tests/kessa_device_manager/fixture.h"

#ifndef _WIN32
#include <sys/syscall.h>

#include <filesystem>

#include "tests/kessa_device_manager/driver_manners.h"
#endif

namespace pelio::test {
namespace {

constexpr uint32_t SHARED = 0x1404;
constexpr uint32_t TLAST = 0x80;
constexpr uint32_t PRODUCER = 0x100;
#ifdef _WIN32
// Where the kernel does not show a thread's blocking call: how long the held
// thread waits for the other one to get in.
constexpr auto HOLD = std::chrono::milliseconds(100);
#endif

/// Counts stores to the shared register and lets a thread wait for them.
class StoreWatch {
public:
    void stored() {
        std::scoped_lock lock(mutex_);
        ++stores_;
        changed_.notify_all();
    }
    /// Holds the caller until `other` (a kernel thread id) has stored more
    /// than `count` times or sleeps blocked on a lock.
    void hold_until_stored_or_blocked(int count, [[maybe_unused]] long other) {
#ifndef _WIN32
        (void)wait_until_asleep_in(other, SYS_futex, [&] { return this->count() > count; });
#else
        std::unique_lock lock(mutex_);
        (void)changed_.wait_for(lock, HOLD, [&] { return stores_ > count; });
#endif
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

/// The kernel ids of this process's threads.
std::set<long> threads() {
    std::set<long> ids;
#ifndef _WIN32
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(std::stol(entry.path().filename().string()));
    }
#endif
    return ids;
}

/// Waits for `done` with a generous deadline; false if it never held.
template <class Done>
bool eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
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
    std::atomic<long> host_writer{0};
    backend->on_load([&](uint32_t address, uint32_t) {
        if (address != SHARED) return;
        const bool on_host = std::this_thread::get_id() == host;
        if (GetParam() == Held::MaskedWrite && on_host && armed.exchange(false)) {
            // Between the masked write's read and its write: the stream starts and pulses.
            const int before = watch.count();
            const auto earlier = threads();
            start_stream();
            long stream_thread = 0;
            for (const long id : threads()) {
                if (!earlier.contains(id)) stream_thread = id;
            }
            watch.hold_until_stored_or_blocked(before + 1, stream_thread);
        } else if (GetParam() == Held::Pulse && !on_host && armed.exchange(false)) {
            // Between the pulse's read and its writes: the host writes.
            const int before = watch.count();
            stream_loaded = true;
            long writer = 0;
            (void)eventually([&] { return (writer = host_writer.load()) != 0; });
            watch.hold_until_stored_or_blocked(before, writer);
        }
    });

    if (GetParam() == Held::MaskedWrite) {
        EXPECT_EQ(device->set_register(SHARED, PRODUCER, PRODUCER), BasicDeviceStatus::Success);
    } else {
        start_stream();
        ASSERT_TRUE(eventually([&] { return stream_loaded.load(); }));
        std::thread writer([&] {
#ifndef _WIN32
            host_writer = this_thread_id();
#else
            host_writer = 1;
#endif
            EXPECT_EQ(device->set_register(SHARED, PRODUCER, PRODUCER), BasicDeviceStatus::Success);
        });
        writer.join();
    }
    // The pulse is done once the register has seen three stores.
    ASSERT_TRUE(eventually([&] { return watch.count() >= 3; }));
    EXPECT_EQ(watch.count(), 3);
    // Before the stream ends: on Windows its end may switch the producers
    // off (bits 0..3) to end a read in flight.
    EXPECT_EQ(board.peek(SHARED), 0x14 | PRODUCER | TLAST);
    backend->on_load({});
    stream.reset();
}

INSTANTIATE_TEST_SUITE_P(Held, RegisterRace, ::testing::Values(Held::MaskedWrite, Held::Pulse),
                         [](const auto& info) { return info.param == Held::MaskedWrite ? "MaskedWrite" : "Pulse"; });

}  // namespace
}  // namespace pelio::test
