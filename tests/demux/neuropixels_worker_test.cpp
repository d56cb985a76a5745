#include "pelionp/demux/neuropixels_worker.h"

#include <future>
#include <latch>

#include <gtest/gtest.h>

#include "pelionp/demux/resettable_queue.h"
#include "pelionp/demux/worker_loop.h"
#include "tests/demux/raw_words.h"
#include "tests/support/log_capture.h"

namespace pelionp::demux {
namespace {

using test::word;

SIDQueueEntry entry_of(std::initializer_list<test::RawWord> words, uint64_t timestamp = 0) {
    auto buffer = test::device_buffer(words);
    std::vector<SIDWord> list;
    for (int offset = 0; offset < static_cast<int>(buffer.first); offset += 16) list.emplace_back(timestamp, offset);
    const auto size = buffer.first;
    auto release = buffer.second.get_deleter();
    return {std::move(list), size, std::shared_ptr<uint8_t[]>(buffer.second.release(), release)};
}

// A worker whose decoder hands each word's first payload byte to `on_word`.
class ProbeWorker : public NeuropixelsWorker {
public:
    struct Decoder {
        std::function<void(uint64_t, uint8_t)> on_word;
        int* resets;
        void reset() { ++*resets; }
        void decode(uint64_t timestamp, const uint8_t* payload) { on_word(timestamp, payload[0]); }
    };

    ProbeWorker(std::function<void(uint64_t, uint8_t)> on_word, std23::move_only_function<void()> reset_output)
        : NeuropixelsWorker(SID{8}, std::move(reset_output)) {
        thread = std::thread([this, q = queue, d = Decoder{std::move(on_word), &decoder_resets}]() mutable {
            run_worker_loop(*this, std::move(q), d);
        });
    }
    ~ProbeWorker() override {
        stop.store(true);
        if (thread.joinable()) thread.join();
    }
    void resync() override { resync_and_wait(); }

    int decoder_resets = 0;  // the decoding thread's; read after a handshake
};

TEST(NeuropixelsWorker, EmptyResetOutputIsRefused) {
    try {
        NeuropixelsWorker w(SID{8}, nullptr);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "reset_output must not be empty");
    }
}

TEST(NeuropixelsWorker, ThreadlessResyncDrainsOnTheCallersThread) {
    std::thread::id ran_on;
    NeuropixelsWorker w(SID{5}, [&] { ran_on = std::this_thread::get_id(); });
    ASSERT_TRUE(w.queue->enqueue(entry_of({word(5, 0)})));
    ASSERT_TRUE(w.queue->enqueue(entry_of({word(5, 1)})));
    w.resync();
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_EQ(w.queue->size_approx(), 0u);

    // With a thread of its own the base leaves everything to that thread.
    ran_on = {};
    std::promise<void> finish;
    w.thread = std::thread([f = finish.get_future()]() mutable { f.wait(); });
    ASSERT_TRUE(w.queue->enqueue(entry_of({word(5, 2)})));
    w.resync();
    EXPECT_EQ(ran_on, std::thread::id{});
    EXPECT_EQ(w.queue->size_approx(), 1u);
    finish.set_value();
}

TEST(NeuropixelsWorker, DecodesEveryWordInOrderWithItsTimestamp) {
    std::mutex m;
    std::vector<std::pair<uint64_t, uint8_t>> seen;
    ProbeWorker w([&](uint64_t t, uint8_t b) { std::lock_guard l(m); seen.emplace_back(t, b); }, [] {});
    auto a = test::bytes_of({word(8, 0, 0x11), word(8, 1, 0x22)});
    w.queue->enqueue(entry_of({word(8, 0, 0x11), word(8, 1, 0x22)}, 7));
    w.queue->enqueue(entry_of({word(8, 2, 0x33)}, 9));
    w.resync();  // nothing before the handshake is guaranteed decoded...
    w.queue->enqueue(entry_of({word(8, 3, 0x44)}, 10));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::lock_guard l(m);
        if (!seen.empty() && seen.back() == std::pair<uint64_t, uint8_t>{10, 0x44}) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    }
    std::lock_guard l(m);
    // ...but whatever was decoded came whole, in order, before the word after it.
    if (seen.size() == 4) {
        EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, uint8_t>>{{7, 0x11}, {7, 0x22}, {9, 0x33}, {10, 0x44}}));
    }
}

// Host callbacks that throw: the decoding thread logs the failure with the
// worker's SID, goes on with the next element, and still answers a resync.
TEST(NeuropixelsWorker, ThrowingCallbacksAreLoggedAndTheThreadGoesOn) {
    test::LogCapture log;
    std::atomic<int> decoded{0};
    std::atomic<bool> throw_on_reset{true};
    ProbeWorker w(
        [&](uint64_t, uint8_t b) {
            if (b == 0xEE) throw std::runtime_error("bad word");
            decoded.fetch_add(1);
        },
        [&] {
            if (throw_on_reset.exchange(false)) throw std::runtime_error("reset refused");
        });
    w.resync();  // returns although reset_output threw
    EXPECT_TRUE(log.contains(spdlog::level::err, "Worker SID 8: reset_output failed: reset refused"));

    w.queue->enqueue(entry_of({word(8, 0, 0xEE), word(8, 1, 0x01)}));
    w.queue->enqueue(entry_of({word(8, 2, 0x02)}));
    ASSERT_TRUE(log.wait_for(spdlog::level::err, "Worker SID 8: decoding failed: bad word"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (decoded.load() < 1) ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    w.resync();
    EXPECT_FALSE(w.resync_requested.load());
}

TEST(NeuropixelsWorker, ResyncReturnsAfterResetOutputRanOnTheDecoderThread) {
    std::atomic<int> resets{0};
    std::thread::id ran_on;
    ProbeWorker w([](uint64_t, uint8_t) {}, [&] {
        ran_on = std::this_thread::get_id();
        resets.fetch_add(1);
    });
    w.resync();
    EXPECT_EQ(resets.load(), 1);
    EXPECT_EQ(ran_on, w.thread.get_id());
    EXPECT_EQ(w.decoder_resets, 2);  // the initial state, then the handshake
    EXPECT_FALSE(w.resync_requested.load());
}

TEST(NeuropixelsWorker, ResyncDiscardsTheElementInHandAndEverythingQueued) {
    std::latch decoding{1};
    std::latch release{1};
    std::vector<uint8_t> decoded;  // decoder thread only until the handshake
    ProbeWorker w(
        [&](uint64_t, uint8_t b) {
            decoded.push_back(b);
            if (b == 0xA) {
                decoding.count_down();
                release.wait();
            }
        },
        [] {});
    w.queue->enqueue(entry_of({word(8, 0, 0xA)}));
    decoding.wait();  // the decoder holds A
    w.queue->enqueue(entry_of({word(8, 1, 0xB)}));
    w.queue->enqueue(entry_of({word(8, 2, 0xC)}));
    auto resync = std::async(std::launch::async, [&] { w.resync(); });
    while (!w.resync_requested.load()) std::this_thread::yield();
    release.count_down();  // next the thread dequeues B, sees the request, discards B and C
    resync.get();
    EXPECT_EQ(decoded, std::vector<uint8_t>{0xA});
    EXPECT_EQ(w.queue->size_approx(), 0u);
}

TEST(NeuropixelsWorker, ConcurrentResyncCallersEachGetTheirOwnHandshake) {
    std::atomic<int> resets{0};
    ProbeWorker w([](uint64_t, uint8_t) {}, [&] { resets.fetch_add(1); });
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            for (int k = 0; k < 25; ++k) w.resync();
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(resets.load(), 100);
}

// Many handshakes in a row: a caller must never wait for a wake-up that the
// decoding thread already gave (a lost notification hangs the caller, and
// with it start_stream and stop_stream).
TEST(NeuropixelsWorker, EveryResyncHandshakeWakesItsCaller) {
    std::atomic<int> resets{0};
    ProbeWorker w([](uint64_t, uint8_t) {}, [&] { resets.fetch_add(1); });
    constexpr int ROUNDS = 500;
    auto rounds = std::async(std::launch::async, [&] {
        for (int i = 0; i < ROUNDS; ++i) w.resync();
    });
    const bool finished = rounds.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(finished) << "a resync still waits after " << resets.load() << " handshakes";
    // A caller stuck on a lost wake-up is released, so the test ends.
    while (rounds.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) w.acknowledge_resync();
    if (finished) {
        EXPECT_EQ(resets.load(), ROUNDS);
    }
}

TEST(ResettableQueue, ClearEmptiesAndEnqueueCopiesOrMoves) {
    ResettableQueue<std::array<int, 4>> q;
    q.clear();
    EXPECT_EQ(q.size_approx(), 0u);
    std::array<int, 4> item{1, 2, 3, 4};
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(q.enqueue(item));
    ASSERT_TRUE(q.enqueue(std::array<int, 4>{5, 6, 7, 8}));
    EXPECT_EQ(q.size_approx(), 1001u);
    std::array<int, 4> out{};
    ASSERT_TRUE(q.try_dequeue(out));
    EXPECT_EQ(out, item);
    q.clear();
    EXPECT_EQ(q.size_approx(), 0u);
    EXPECT_FALSE(q.try_dequeue(out));
}

}  // namespace
}  // namespace pelionp::demux
