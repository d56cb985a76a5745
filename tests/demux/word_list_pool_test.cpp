// Word lists travel runner -> SID queue -> consumer -> pool -> runner. What
// matters: a list is refilled only after its holder gave it back, a given-back
// list is refilled in place, and the pool stays bounded.
#include "pelionp/demux/word_list_pool.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/worker_loop.h"
#include "tests/demux/raw_words.h"

namespace pelionp::demux {
namespace {

using test::device_buffer;
using test::word;

constexpr unsigned TS = 4;

std::shared_ptr<WordListPool> pool_of(const SIDQueueEntry& entry) {
    const auto* release = std::get_deleter<PooledBufferRelease>(std::get<2>(entry));
    return release ? release->pool : nullptr;
}

SIDQueueEntry next(SIDQueue& q) {
    SIDQueueEntry e;
    EXPECT_TRUE(q.try_dequeue(e));
    return e;
}

TEST(WordListPool, KeepsReturnedListsWithTheirStorageUpToItsBound) {
    WordListPool pool;
    EXPECT_EQ(pool.take().capacity(), 0u);  // nothing idle: a new, empty list

    std::vector<SIDWord> list{{7, 16}, {8, 32}};
    const SIDWord* storage = list.data();
    pool.give_back(std::move(list));
    EXPECT_EQ(pool.idle_approx(), 1u);
    auto again = pool.take();
    EXPECT_EQ(again.data(), storage);  // the same memory, stale words and all
    EXPECT_EQ(again.size(), 2u);
    EXPECT_EQ(pool.idle_approx(), 0u);

    pool.give_back(std::vector<SIDWord>{});  // no storage: not worth keeping
    EXPECT_EQ(pool.idle_approx(), 0u);

    for (std::size_t i = 0; i < WordListPool::MAX_IDLE_LISTS + 5; ++i) {
        pool.give_back(std::vector<SIDWord>(1));
    }
    EXPECT_EQ(pool.idle_approx(), std::size_t{WordListPool::MAX_IDLE_LISTS});  // a value: no DLL import
}

// After a backlog every returned list can hold a whole buffer's words; the
// idle storage stays bounded by bytes, not only by the count of lists.
TEST(WordListPool, IdleStorageIsBoundedAfterABacklog) {
    WordListPool pool;
    constexpr std::size_t BUFFER_WORDS = (std::size_t{1} << 20) / 16;  // a 1 MiB buffer of one SID
    for (int i = 0; i < 100; ++i) {
        std::vector<SIDWord> list;
        list.reserve(BUFFER_WORDS);
        pool.give_back(std::move(list));
    }
    EXPECT_LE(pool.idle_approx() * BUFFER_WORDS * sizeof(SIDWord), std::size_t{16} << 20);
    EXPECT_GT(pool.idle_approx(), 0u);

    // A list larger than any 1 MiB buffer needs is not kept at all.
    WordListPool other;
    std::vector<SIDWord> huge;
    huge.reserve(4 * BUFFER_WORDS);
    other.give_back(std::move(huge));
    EXPECT_EQ(other.idle_approx(), 0u);
}

TEST(WordListPool, ReleasingAnEntryReturnsItsListAndFreesTheBufferWithTheLastHolder) {
    static std::atomic<int> freed{0};
    freed = 0;
    auto* bytes = new uint8_t[32]{};
    auto pool = std::make_shared<WordListPool>();
    auto shared = share_buffer({bytes, [](uint8_t* p) { ++freed, delete[] p; }}, pool);
    SIDQueueEntry first{{{1, 0}}, 32, shared};
    SIDQueueEntry second{{{1, 16}}, 32, shared};
    shared.reset();

    release_entry(first);
    EXPECT_EQ(pool.use_count(), 2);  // the buffer still holds it
    EXPECT_EQ(pool->idle_approx(), 1u);
    EXPECT_EQ(freed, 0);
    EXPECT_TRUE(std::get<0>(first).empty());
    EXPECT_EQ(std::get<2>(first), nullptr);

    release_entry(second);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(pool->idle_approx(), 2u);

    // An entry over a plain shared buffer has no pool: it is just dropped.
    SIDQueueEntry plain{{{1, 0}}, 16, std::shared_ptr<uint8_t[]>(new uint8_t[16])};
    release_entry(plain);
    EXPECT_EQ(std::get<2>(plain), nullptr);
    EXPECT_EQ(pool->idle_approx(), 2u);
}

TEST(WordListPool, TheRunnerRefillsAListOnlyAfterItsHolderGaveItBack) {
    DataStreamCoordinator c;
    auto q = make_sid_queue();
    ASSERT_TRUE(c.push_subscription({SID{8}, q}).has_value());
    const auto drain = [&] { ASSERT_TRUE(c.unsubscribe(SID{6}).has_value()); };

    c.push_buffer(device_buffer({word(TS, 0, 100), word(8, 0), word(8, 1)}));
    drain();
    auto held = next(*q);
    const SIDWord* held_storage = std::get<0>(held).data();

    // While `held` is held, a new buffer goes to other memory and leaves the
    // held words alone.
    c.push_buffer(device_buffer({word(TS, 1, 200), word(8, 2), word(8, 3)}));
    drain();
    auto later = next(*q);
    EXPECT_NE(std::get<0>(later).data(), held_storage);
    EXPECT_EQ(std::get<0>(held), (std::vector<SIDWord>{{100, 16}, {100, 32}}));
    EXPECT_EQ(std::get<0>(later), (std::vector<SIDWord>{{200, 16}, {200, 32}}));

    // Given back, the held list is filled in place by a later buffer (the
    // pool hands out the most recently returned list first).
    auto pool = pool_of(held);
    ASSERT_NE(pool, nullptr);
    release_entry(later);
    release_entry(held);
    EXPECT_EQ(pool->idle_approx(), 2u);
    c.push_buffer(device_buffer({word(8, 4), word(TS, 2, 300), word(8, 5)}));
    drain();
    auto reused = next(*q);
    EXPECT_EQ(std::get<0>(reused).data(), held_storage);
    EXPECT_EQ(std::get<0>(reused), (std::vector<SIDWord>{{200, 0}, {300, 32}}));
    EXPECT_EQ(pool->idle_approx(), 1u);
}

// A memory watch reads the lists kept for reuse from the coordinator, in
// bytes of their storage, without holding an entry of its own.
TEST(WordListPool, TheCoordinatorReportsTheStorageOfTheListsGivenBack) {
    DataStreamCoordinator c;
    auto q = make_sid_queue();
    ASSERT_TRUE(c.push_subscription({SID{8}, q}).has_value());
    EXPECT_EQ(c.holdings_approx().idle_list_bytes, 0u);

    c.push_buffer(device_buffer({word(TS, 0, 100), word(8, 0), word(8, 1)}));
    ASSERT_TRUE(c.unsubscribe(SID{6}).has_value());  // the buffer is demultiplexed
    EXPECT_EQ(c.holdings_approx().queued_items, 0u);
    auto entry = next(*q);
    const std::size_t bytes = std::get<0>(entry).capacity() * sizeof(SIDWord);
    ASSERT_GT(bytes, 0u);
    EXPECT_EQ(c.holdings_approx().idle_list_bytes, 0u);  // held by the subscriber

    release_entry(entry);
    EXPECT_EQ(c.holdings_approx().idle_list_bytes, bytes);
}

TEST(WordListPool, ListsGrowPastTheirOldSizeWithinOneBuffer) {
    DataStreamCoordinator c;
    auto q = make_sid_queue();
    ASSERT_TRUE(c.push_subscription({SID{9}, q}).has_value());
    const auto drain = [&] { ASSERT_TRUE(c.unsubscribe(SID{6}).has_value()); };

    c.push_buffer(device_buffer({word(9, 0)}));
    drain();
    auto small = next(*q);
    release_entry(small);  // a one-word list goes back

    std::vector<uint8_t> big;
    for (unsigned n = 1; n <= 3000; ++n) {
        const auto w = test::bytes_of({word(9, static_cast<uint8_t>(n)), word(TS, static_cast<uint8_t>(n - 1), n)});
        big.insert(big.end(), w.begin(), w.end());
    }
    c.push_buffer(device_buffer(big));
    drain();
    const auto entry = next(*q);
    const auto& words = std::get<0>(entry);
    ASSERT_EQ(words.size(), 3000u);
    for (unsigned n = 0; n < 3000; ++n) {
        ASSERT_EQ(words[n], (SIDWord{n, static_cast<int>(32 * n)})) << n;
    }
}

// A worker's loop gives every list back once it has decoded it.
TEST(WordListPool, WorkerLoopGivesListsBack) {
    struct Counter {
        std::atomic<int>* words;
        void reset() {}
        void decode(uint64_t, const uint8_t*) { words->fetch_add(1); }
    };
    struct CountingWorker final : NeuropixelsWorker {
        explicit CountingWorker(std::atomic<int>* words) : NeuropixelsWorker(SID{10}, [] {}) { start(Counter{words}); }
        ~CountingWorker() override { stop_and_join(); }
        void stop_now() { stop_and_join(); }
    };
    std::atomic<int> words{0};
    CountingWorker worker(&words);

    DataStreamCoordinator c;
    auto probe = make_sid_queue();  // SID 11: a handle on the coordinator's pool
    ASSERT_TRUE(c.push_subscription({SID{11}, probe}).has_value());
    ASSERT_TRUE(c.push_subscription({worker.sid, worker.queue()}).has_value());
    // NB: one buffer: with a second one, the runner might already refill the
    // list the worker gave back, which is the point but not countable.
    c.push_buffer(device_buffer({word(11, 0), word(10, 0), word(10, 1), word(10, 2)}));
    ASSERT_TRUE(c.unsubscribe(SID{6}).has_value());
    auto handle = next(*probe);
    auto pool = pool_of(handle);
    ASSERT_NE(pool, nullptr);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((words.load() < 3 || pool->idle_approx() < 1) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(words.load(), 3);
    EXPECT_EQ(pool->idle_approx(), 1u);

    worker.wait_for_resync();
    worker.stop_now();
    release_entry(handle);
    EXPECT_EQ(pool->idle_approx(), 2u);
}

}  // namespace
}  // namespace pelionp::demux
