// The demux runner when memory runs out: a word list that cannot grow drops
// that SID's element of the buffer, and the runner goes on.
//
// NB: this file replaces the global operator new of the whole test binary
// with one that can be told to refuse large requests; switched off it is
// plain malloc.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/word_list_pool.h"
#include "tests/demux/raw_words.h"
#include "tests/support/log_capture.h"

namespace {
// Requests of at least this many bytes fail while it is non-zero.
std::atomic<std::size_t> refuse_from{0};
}  // namespace

// NB: new and delete here are malloc and free, which GCC cannot see pair up.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    const std::size_t limit = refuse_from.load(std::memory_order_relaxed);
    if (limit != 0 && size >= limit) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace pelionp::demux {
namespace {

// `count` words of SID 8 with row counters from `first`.
DataBuffer sid8_buffer(std::size_t count, uint8_t first) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count * 16);
    for (std::size_t i = 0; i < count; ++i) {
        const auto w = test::bytes_of({test::word(8, static_cast<uint8_t>(first + i))});
        bytes.insert(bytes.end(), w.begin(), w.end());
    }
    return test::device_buffer(bytes);
}

TEST(DemuxOutOfMemory, AListThatCannotGrowDropsItsElementAndTheRunnerGoesOn) {
    test::LogCapture log;
    DataStreamCoordinator coordinator;
    auto queue = make_sid_queue();
    ASSERT_TRUE(coordinator.push_subscription({SID{8}, queue}));

    // 16384 words: the list grows by doubling to 256 KiB; refuse from 100 KiB on.
    constexpr std::size_t WORDS = 16384;
    auto buffer = sid8_buffer(WORDS, 0);  // built before the refusals start
    refuse_from.store(100 * 1024);
    coordinator.push_buffer(std::move(buffer));
    const bool logged = log.wait_for(spdlog::level::err,
                                     "Demux channel 8, out of memory for its word list: dropping its words of this buffer");
    refuse_from.store(0);
    ASSERT_TRUE(logged);
    EXPECT_EQ(queue->size_approx(), 0u);

    // The runner is alive and the next buffer arrives whole.
    coordinator.push_buffer(sid8_buffer(4, static_cast<uint8_t>(WORDS)));
    SIDQueueEntry entry;
    ASSERT_TRUE(queue->wait_dequeue_timed(entry, std::chrono::seconds(10)));
    EXPECT_EQ(std::get<0>(entry).size(), 4u);
    release_entry(entry);
}

}  // namespace
}  // namespace pelionp::demux
