#include "pelionp/demux/neuropixels_worker.h"

#include <array>
#include <condition_variable>
#include <future>
#include <mutex>
#include <system_error>

#include <gtest/gtest.h>

#include "pelionp/demux/resettable_queue.h"
#include "pelionp/demux/worker_loop.h"
#include "tests/support/gate.h"
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
        start(Decoder{std::move(on_word), &decoder_resets});
    }
    ~ProbeWorker() override { stop_and_join(); }

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
    ASSERT_TRUE(w.queue()->enqueue(entry_of({word(5, 0)})));
    ASSERT_TRUE(w.queue()->enqueue(entry_of({word(5, 1)})));
    w.wait_for_resync();
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_EQ(w.queue()->size_approx(), 0u);
    ASSERT_TRUE(w.queue()->enqueue(entry_of({word(5, 2)})));
    ran_on = {};
    w.request_resync();  // without a thread, the request is served at once
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_EQ(w.queue()->size_approx(), 0u);
    EXPECT_EQ(w.resyncs(), 2u);
}

// With a thread of its own, a request leaves everything to that thread and
// returns at once; the thread wakes for it without any data arriving.
TEST(NeuropixelsWorker, RequestedResyncRunsOnTheDecodingThread) {
    std::mutex m;
    std::condition_variable done;
    std::thread::id ran_on;
    std::vector<uint8_t> decoded;
    test::Gate decoding;
    test::Gate release;
    ProbeWorker w(
        [&](uint64_t, uint8_t b) {
            decoded.push_back(b);
            decoding.open();
            release.wait();
        },
        [&] {
            std::lock_guard l(m);
            ran_on = std::this_thread::get_id();
            done.notify_all();
        });
    w.queue()->enqueue(entry_of({word(8, 0, 0x1)}));
    decoding.wait();  // the decoding thread is busy inside the callback
    w.queue()->enqueue(entry_of({word(8, 1, 0x2)}));
    w.request_resync();  // must not wait for the busy thread
    EXPECT_EQ(ran_on, std::thread::id{});
    release.open();
    std::unique_lock l(m);
    ASSERT_TRUE(done.wait_for(l, std::chrono::seconds(10), [&] { return ran_on != std::thread::id{}; }));
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_EQ(decoded, std::vector<uint8_t>{0x1});  // 0x2 was discarded undecoded
}

// A callback that waits for its own worker's resync would wait for itself:
// refused with resource_deadlock_would_occur, and the thread goes on.
TEST(NeuropixelsWorker, AResyncWaitFromTheDecodingThreadIsRefused) {
    std::promise<std::string> refusal;
    NeuropixelsWorker* self = nullptr;
    ProbeWorker w(
        [&](uint64_t, uint8_t) {
            try {
                self->wait_for_resync();
                refusal.set_value("no error");
            } catch (const std::system_error& e) {
                // NB: by value and category name: where each module links its own
                // C++ library (Windows), the categories are distinct objects.
                const bool deadlock = e.code().value() == static_cast<int>(std::errc::resource_deadlock_would_occur) &&
                                      std::string_view(e.code().category().name()) == "generic";
                refusal.set_value(deadlock ? "deadlock" : e.what());
            }
        },
        [] {});
    self = &w;
    auto refused = refusal.get_future();
    w.queue()->enqueue(entry_of({word(8, 0, 0x1)}));
    ASSERT_EQ(refused.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(refused.get(), "deadlock");
    w.wait_for_resync();  // still answers
    EXPECT_EQ(w.resyncs(), 1u);
}

TEST(NeuropixelsWorker, DecodesEveryWordInOrderWithItsTimestamp) {
    std::mutex m;
    std::vector<std::pair<uint64_t, uint8_t>> seen;
    ProbeWorker w([&](uint64_t t, uint8_t b) { std::lock_guard l(m); seen.emplace_back(t, b); }, [] {});
    auto a = test::bytes_of({word(8, 0, 0x11), word(8, 1, 0x22)});
    w.queue()->enqueue(entry_of({word(8, 0, 0x11), word(8, 1, 0x22)}, 7));
    w.queue()->enqueue(entry_of({word(8, 2, 0x33)}, 9));
    w.wait_for_resync();  // nothing before the handshake is guaranteed decoded...
    w.queue()->enqueue(entry_of({word(8, 3, 0x44)}, 10));
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
    w.wait_for_resync();  // returns although reset_output threw
    EXPECT_TRUE(log.contains(spdlog::level::err, "Worker SID 8: reset_output failed: reset refused"));

    w.queue()->enqueue(entry_of({word(8, 0, 0xEE), word(8, 1, 0x01)}));
    w.queue()->enqueue(entry_of({word(8, 2, 0x02)}));
    ASSERT_TRUE(log.wait_for(spdlog::level::err, "Worker SID 8: decoding failed: bad word"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (decoded.load() < 1) ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    w.wait_for_resync();
    EXPECT_EQ(w.resyncs(), 2u);
}

// A decoder callback that always throws, at buffer rate: the failures are
// folded into one line per second instead of one line each.
TEST(NeuropixelsWorker, ACallbackThatAlwaysThrowsIsLoggedOncePerSecond) {
    test::LogCapture log;
    constexpr int LISTS = 300;
    std::atomic<int> attempts{0};
    const auto started = std::chrono::steady_clock::now();
    {
        ProbeWorker w(
            [&](uint64_t, uint8_t) {
                attempts.fetch_add(1);
                throw std::runtime_error("always");
            },
            [] {});
        for (int i = 0; i < LISTS; ++i) ASSERT_TRUE(w.queue()->enqueue(entry_of({word(8, 0, 0x01)})));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (attempts.load() < LISTS) ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const auto lines = log.count_containing("Worker SID 8: decoding failed: always");
    EXPECT_GE(lines, 1u);
    // The first at once, then at most one per second, and the count of the
    // rest when the worker stops.
    EXPECT_LE(lines, 2u + static_cast<std::size_t>(seconds.count()));
}

// The host waits on its packet queue while the decoder thread enqueues and,
// for resyncs, clears it. The semaphore under the queue allows one waiter, so
// the clear must leave its tokens to the host (a Debug build asserts in the
// next signal once the count fell below the truth); every element is taken
// or cleared, and an element queued last still wakes the host.
TEST(ResettableQueue, AHostWaitingThroughResyncsIsWokenForEveryElement) {
    ResettableQueue<int> q;
    std::atomic<bool> stop{false};
    std::atomic<int> last_taken{-1};
    std::jthread host([&] {
        int v = 0;
        while (!stop.load()) {
            if (q.wait_dequeue_timed(v, std::chrono::seconds(10))) last_taken.store(v);
        }
    });
    constexpr int ROUNDS = 20000;
    for (int i = 0; i < ROUNDS; ++i) {
        ASSERT_TRUE(q.enqueue(i));
        if (i % 2 == 0) q.clear();
    }
    ASSERT_TRUE(q.enqueue(ROUNDS));
    // NB: well within the host's own 10 s deadline, which would hand it the
    // element even with its wake-up lost.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (last_taken.load() != ROUNDS && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const bool woken_for_the_last = last_taken.load() == ROUNDS;
    stop.store(true);
    q.wake();
    EXPECT_TRUE(woken_for_the_last) << "the host waited past the last element (it took " << last_taken.load() << ")";
}

TEST(NeuropixelsWorker, ResyncReturnsAfterResetOutputRanOnTheDecoderThread) {
    std::atomic<int> resets{0};
    std::thread::id ran_on;
    ProbeWorker w([](uint64_t, uint8_t) {}, [&] {
        ran_on = std::this_thread::get_id();
        resets.fetch_add(1);
    });
    w.wait_for_resync();
    EXPECT_EQ(resets.load(), 1);
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_NE(ran_on, std::thread::id{});
    EXPECT_EQ(w.decoder_resets, 2);  // the initial state, then the handshake
    EXPECT_EQ(w.resyncs(), 1u);
}

TEST(NeuropixelsWorker, ResyncDiscardsTheElementInHandAndEverythingQueued) {
    test::Gate decoding;
    test::Gate release;
    std::vector<uint8_t> decoded;  // decoder thread only until the handshake
    ProbeWorker w(
        [&](uint64_t, uint8_t b) {
            decoded.push_back(b);
            if (b == 0xA) {
                decoding.open();
                release.wait();
            }
        },
        [] {});
    w.queue()->enqueue(entry_of({word(8, 0, 0xA)}));
    decoding.wait();  // the decoder holds A
    w.queue()->enqueue(entry_of({word(8, 1, 0xB)}));
    w.queue()->enqueue(entry_of({word(8, 2, 0xC)}));
    w.request_resync();    // returns at once although the thread is busy
    release.open();  // next the thread dequeues B, sees the request, discards B and C
    w.wait_for_resync();
    EXPECT_EQ(decoded, std::vector<uint8_t>{0xA});
    EXPECT_EQ(w.queue()->size_approx(), 0u);
}

TEST(NeuropixelsWorker, ConcurrentResyncCallersEachGetTheirOwnHandshake) {
    std::atomic<int> resets{0};
    ProbeWorker w([](uint64_t, uint8_t) {}, [&] { resets.fetch_add(1); });
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            for (int k = 0; k < 25; ++k) w.wait_for_resync();
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
        for (int i = 0; i < ROUNDS; ++i) w.wait_for_resync();
    });
    const bool finished = rounds.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(finished) << "a resync still waits after " << resets.load() << " handshakes";
    // A caller stuck on a lost wake-up is released by later resyncs, so the
    // test ends.
    while (rounds.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) w.request_resync();
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

// What a queue holds is charged to its byte budget: at once for an element
// that wakes the host, at the next signal for deferred ones; whatever is
// queued or pending when the queue goes is handed back, to the byte.
TEST(ResettableQueue, ItsBudgetIsChargedAtTheSignalAndHandedBackInFull) {
    using Element = std::array<int, 4>;
    struct Made {
        operator Element() const { return Element{}; }
    };
    ByteBudget budget;
    {
        ResettableQueue<Element> q;
        q.charge_to(budget);
        ASSERT_TRUE(q.enqueue(Element{}));
        EXPECT_EQ(budget.used_approx(), sizeof(Element));
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.enqueue_deferred(Element{}));
        ASSERT_TRUE(q.enqueue_made(Made{}, Wake::deferred));
        EXPECT_EQ(budget.used_approx(), sizeof(Element)) << "deferred sets are charged at the signal";
        q.signal_deferred();
        EXPECT_EQ(budget.used_approx(), 5 * sizeof(Element));
        std::array<Element, 8> out{};
        EXPECT_EQ(q.try_dequeue_bulk(out.data(), 2), 2u);
        EXPECT_EQ(budget.used_approx(), 3 * sizeof(Element));
        ASSERT_TRUE(q.enqueue_deferred(Element{}));  // never signalled
    }
    // NB: used_approx() reads a negative balance as 0, so a later charge shows one.
    budget.charge(1000);
    EXPECT_EQ(budget.used_approx(), 1000u) << "the queue handed back exactly what it was charged";
}

// A host blocked on the packet queue wakes for data, for a wake-up and at its
// deadline, and takes a batch under one lock.
TEST(ResettableQueue, BlockingAndBulkDequeues) {
    using namespace std::chrono_literals;
    ResettableQueue<int> q;
    int out = 0;
    EXPECT_FALSE(q.wait_dequeue_timed(out, 1ms));  // the deadline passes

    std::thread producer([&] { q.enqueue(7); });
    ASSERT_TRUE(q.wait_dequeue_timed(out, 10s));
    producer.join();
    EXPECT_EQ(out, 7);

    std::thread waker([&] { q.wake(); });
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.wait_dequeue_timed(out, 60s));  // released long before the deadline
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
    waker.join();

    for (int i = 0; i < 10; ++i) ASSERT_TRUE(q.enqueue(i));
    std::array<int, 4> batch{};
    EXPECT_EQ(q.wait_dequeue_bulk_timed(batch.data(), batch.size(), 10s), 4u);
    EXPECT_EQ(batch, (std::array<int, 4>{0, 1, 2, 3}));
    EXPECT_EQ(q.try_dequeue_bulk(batch.data(), batch.size()), 4u);
    EXPECT_EQ(batch, (std::array<int, 4>{4, 5, 6, 7}));
    EXPECT_EQ(q.try_dequeue_bulk(batch.data(), batch.size()), 2u);
    EXPECT_EQ(q.try_dequeue_bulk(batch.data(), batch.size()), 0u);
    EXPECT_EQ(q.wait_dequeue_bulk_timed(batch.data(), batch.size(), 1ms), 0u);

    // A clear (the resync's) between the signal and the wait leaves no
    // phantom element behind: the wait runs to its deadline empty-handed.
    ASSERT_TRUE(q.enqueue(1));
    q.clear();
    EXPECT_FALSE(q.wait_dequeue_timed(out, 1ms));
}

// A consumer that stops draining (the lock held) holds up the resync's clear
// until it lets go; the queue is whole before and empty after.
TEST(ResettableQueue, AHeldConsumerSideHoldsTheClear) {
    ResettableQueue<int> q;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.enqueue(i));
    std::atomic<bool> cleared{false};
    std::thread resync;
    {
        const auto hold = q.hold_consumer();
        resync = std::thread([&] {
            q.clear();
            cleared.store(true);
        });
        EXPECT_EQ(q.size_approx(), 3u);
    }
    resync.join();
    EXPECT_TRUE(cleared.load());
    EXPECT_EQ(q.size_approx(), 0u);
}

// A host that stalled let the queue grow; once it has caught up, the producer
// hands the grown storage back, and no element is lost or reordered on the way.
TEST(ResettableQueue, StorageGrownDuringAStallIsHandedBackOnceTheHostCaughtUp) {
    // 4 KiB elements: a backlog past the kept storage is a few thousand.
    using Element = std::array<uint64_t, 512>;
    using Q = ResettableQueue<Element>;
    static_assert(Q::KEPT_CAPACITY < 5000);
    Q q;
    uint64_t next_in = 0, next_out = 0;
    Element out{};
    const auto element = [](uint64_t n) {
        Element e{};
        e.front() = n;
        e.back() = ~n;
        return e;
    };
    const auto take_in_order = [&] {
        ASSERT_TRUE(q.try_dequeue(out));
        ASSERT_EQ(out, element(next_out++));
    };
    for (; next_in < 5000; ++next_in) ASSERT_TRUE(q.enqueue(element(next_in)));
    EXPECT_GE(q.storage_capacity_approx(), 5000u);

    // Still behind: nothing is handed back while more than a few are queued.
    while (q.size_approx() > 2 * Q::RELEASE_MAX_MOVED) take_in_order();
    for (std::size_t i = 0; i < 2 * Q::RELEASE_CHECK_PERIOD; ++i) {
        ASSERT_TRUE(q.enqueue(element(next_in++)));
        take_in_order();
    }
    EXPECT_GE(q.storage_capacity_approx(), 5000u);

    // Caught up to a few elements: they move, the rest of the storage goes.
    while (q.size_approx() > 10) take_in_order();
    for (std::size_t i = 0; i < 2 * Q::RELEASE_CHECK_PERIOD; ++i) {
        ASSERT_TRUE(q.enqueue(element(next_in++)));
        take_in_order();
    }
    EXPECT_LE(q.storage_capacity_approx(), Q::KEPT_CAPACITY);
    while (q.size_approx() > 0) take_in_order();
    EXPECT_EQ(next_out, next_in);
    EXPECT_FALSE(q.try_dequeue(out));
}

}  // namespace
}  // namespace pelionp::demux
