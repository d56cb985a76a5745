// The XDMA data stream over a stand-in card-to-host node.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>
#include <variant>

#include "tests/kessa_device_manager/error_texts.h"
#include "tests/kessa_device_manager/fixture.h"
#include "tests/support/log_capture.h"

namespace pelio::test {
namespace {

using pelionp::test::LogCapture;
namespace events = pelio::DataStream;

/// What a consumer saw, in order; kept buffers survive the callback.
class Consumer {
public:
    struct Seen {
        enum Kind { Stop, Error, Data } kind;
        std::string message;
        std::size_t size = 0;
    };

    BasicDevice::StreamCallback callback(bool keep_buffers = true) {
        return [this, keep_buffers](events::Events&& event) {
            std::scoped_lock lock(mutex_);
            if (std::holds_alternative<events::Stop>(event)) {
                seen_.push_back({Seen::Stop, {}, 0});
            } else if (auto* error = std::get_if<events::Error>(&event)) {
                seen_.push_back({Seen::Error, error->message, 0});
            } else if (auto* data = std::get_if<events::OwnedData>(&event)) {
                const auto size = data->size();
                seen_.push_back({Seen::Data, {}, size});
                if (keep_buffers) {
                    auto buffer = data->take();
                    bytes_.insert(bytes_.end(), buffer.get(), buffer.get() + size);
                    kept_.push_back(std::move(buffer));
                }
            }
            changed_.notify_all();
        };
    }

    /// Waits until `done(seen)` holds; false after a generous deadline.
    template <class Done>
    bool wait(Done done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done(seen_); });
    }
    bool wait_for_bytes(std::size_t total) {
        return wait([&](const std::vector<Seen>& seen) {
            std::size_t sum = 0;
            for (const auto& s : seen) sum += s.size;
            return sum >= total;
        });
    }
    std::vector<Seen> seen() const {
        std::scoped_lock lock(mutex_);
        return seen_;
    }
    std::vector<uint8_t> bytes() const {
        std::scoped_lock lock(mutex_);
        return bytes_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
    std::vector<uint8_t> bytes_;
    std::vector<events::OwnedData::Buffer> kept_;
};

std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

class Stream : public ::testing::Test, public KessaFixture {
protected:
    void SetUp() override { device = open(current_status_text("np")); }
    std::unique_ptr<KessaDevice> device;
    Consumer consumer;
};

TEST_F(Stream, DeliversBuffersInOrderAndStopLast) {
    board.poke(0x1404, 0x14);
    const auto data = pattern(xdma::TRANSFER_BYTES + 100, 1);
    board.append_stream(data);
    backend->clear();

    auto stream = device->start_read_stream(0, consumer.callback(), 0);
    ASSERT_TRUE(consumer.wait_for_bytes(data.size()));
    // Taken before the stop: on Windows a stop meeting a read in flight has
    // the board end it (more stores, see blocking_driver_test.cpp).
    const auto stores = backend->stores();
    EXPECT_TRUE(stream->stop());
    EXPECT_FALSE(stream->stop());
    stream.reset();

    const auto seen = consumer.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].size, xdma::TRANSFER_BYTES);  // every transfer asks for 1 MiB
    EXPECT_EQ(seen[1].size, 100u);
    EXPECT_EQ(seen[2].kind, Consumer::Seen::Stop);
    EXPECT_EQ(consumer.bytes(), data);  // kept buffers outlive their callbacks
    // The end-of-packet enable is pulsed off and on before the first transfer.
    EXPECT_EQ(stores, (std::vector{store(0x1404, 0x14), store(0x1404, 0x94)}));
}

TEST_F(Stream, EachFailedTransferIsOneErrorAndTheStreamGoesOn) {
    backend->fail_reads(3, 5);
    board.append_stream(pattern(64, 0));
    auto stream = device->start_read_stream(0, consumer.callback(false), 0);
    ASSERT_TRUE(consumer.wait_for_bytes(64));
    stream.reset();
    const auto seen = consumer.seen();
    ASSERT_EQ(seen.size(), 5u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(seen[i].kind, Consumer::Seen::Error);
        EXPECT_EQ(seen[i].message, "Kessa datastream error: " + coded(5) + "\n");
    }
    EXPECT_EQ(seen[3].size, 64u);  // not kept: released after the callback
    EXPECT_EQ(seen[4].kind, Consumer::Seen::Stop);
}

TEST_F(Stream, ACallbackExceptionIsLoggedAndTheStreamGoesOn) {
    LogCapture logs;
    std::atomic<int> calls{0};
    board.append_stream(pattern(10, 0));
    auto inner = consumer.callback();
    auto stream = device->start_read_stream(
        0,
        [&, inner = std::move(inner)](events::Events&& event) mutable {
            inner(std::move(event));
            if (calls++ == 0) throw std::runtime_error("consumer choked");
        },
        0);
    ASSERT_TRUE(consumer.wait_for_bytes(10));
    board.append_stream(pattern(20, 0));
    ASSERT_TRUE(consumer.wait_for_bytes(30));
    stream.reset();
    EXPECT_TRUE(logs.contains(spdlog::level::err, "Kessa datastream callback failed: consumer choked"));
    EXPECT_EQ(consumer.seen().back().kind, Consumer::Seen::Stop);
}

TEST_F(Stream, DestroyedFromAnotherThreadAfterStop) {
    auto stream = device->start_read_stream(0, consumer.callback(), 0);
    std::thread([&] { stream.reset(); }).join();
    const auto seen = consumer.seen();  // the thread has ended: nothing more arrives
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().kind, Consumer::Seen::Stop);
    EXPECT_EQ(std::ranges::count_if(seen, [](const auto& s) { return s.kind == Consumer::Seen::Stop; }), 1);
}

TEST_F(Stream, JoinFromTheStreamThreadIsADeadlockError) {
    std::promise<BasicDevice::DataStream*> handle;
    auto stream_future = handle.get_future().share();
    std::promise<std::error_code> joined;
    bool asked = false;
    board.append_stream(pattern(8, 0));
    auto stream = device->start_read_stream(
        0,
        [&, stream_future](events::Events&& event) {
            if (asked || !std::holds_alternative<events::OwnedData>(event)) return;
            asked = true;
            try {
                stream_future.get()->join();
                joined.set_value({});
            } catch (const std::system_error& e) {
                joined.set_value(e.code());
            }
        },
        0);
    handle.set_value(stream.get());
    auto result = joined.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), std::make_error_code(std::errc::resource_deadlock_would_occur));
}

TEST_F(Stream, OutlivesTheDeviceThroughTheSharedHandler) {
    auto stream = device->start_read_stream(0, consumer.callback(), 0);
    device.reset();
    board.append_stream(pattern(4096, 7));
    ASSERT_TRUE(consumer.wait_for_bytes(4096));
    stream.reset();
    EXPECT_EQ(consumer.bytes(), pattern(4096, 7));
}

TEST_F(Stream, ARebootPausesTheStreamUntilTheBoardIsBack) {
    auto patient = fast_timing();
    patient.close_timeout = patient.open_timeout = std::chrono::seconds(10);
    device = open(current_status_text("rhd"), true, patient);
    board.append_stream(pattern(1000, 1));
    auto stream = device->start_read_stream(0, consumer.callback(), 0);
    ASSERT_TRUE(consumer.wait_for_bytes(1000));

    LogCapture logs;
    board.poke(0x40C, 1);
    backend->on_store([&](uint32_t address, uint32_t value) {
        if (address == 0x408 && value == 1 && board.peek(0x400) == 4) board.remove();
    });
    auto result = std::async(std::launch::async, [&] { return device->reboot("np"); });
    ASSERT_TRUE(logs.wait_for(spdlog::level::info, "Device closed"));
    board.create(current_status_text("np"));
    board.append_stream(pattern(500, 9));  // the new channel starts from its beginning
    EXPECT_EQ(result.get(), 0);
    ASSERT_TRUE(consumer.wait_for_bytes(1500));
    stream.reset();
    auto expected = pattern(1000, 1);
    const auto after = pattern(500, 9);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(consumer.bytes(), expected);
    EXPECT_EQ(consumer.seen().back().kind, Consumer::Seen::Stop);
}

// Reads that bring little, their buffers dropped by the consumer at once,
// take their 1 MiB buffers from a few recycled ones rather than from the
// allocator every time.
TEST_F(Stream, ShortReadsRecycleAFewBuffers) {
    auto stream = device->start_read_stream(0, consumer.callback(false), 0);
    const uint64_t before = xdma::dma_buffers_allocated();
    constexpr std::size_t READS = 64;
    for (std::size_t k = 1; k <= READS; ++k) {
        board.append_stream(pattern(48, static_cast<uint8_t>(k)));
        ASSERT_TRUE(consumer.wait_for_bytes(48 * k));
    }
    stream.reset();
    // NB: the stream may hold one buffer in a read while another is released.
    EXPECT_LE(xdma::dma_buffers_allocated() - before, 3u);
}

TEST_F(Stream, AnEmptyCallbackIsRefused) {
    EXPECT_THROW((void)device->start_read_stream(0, {}, 0), std::invalid_argument);
}

}  // namespace
}  // namespace pelio::test
