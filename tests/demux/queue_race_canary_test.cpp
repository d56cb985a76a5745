// ThreadSanitizer's sight through the queues. A producer hands an element
// over through a queue and then writes it again, outside the queue's
// synchronisation, while the consumer reads it; meanwhile each thread only
// touches queues of its own. ThreadSanitizer must report the race: were the
// queues' fence annotations to meet on one object shared by every queue (the
// library's default, or a fence outside a queue's operation that falls back
// to one), the two threads would look ordered and the race would pass unseen.
//
// Each case runs in a child process (a death test) whose exit status and
// output say whether ThreadSanitizer spoke. Built only under ThreadSanitizer.
#if defined(__SANITIZE_THREAD__)

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "pelionp/demux/spsc_queue.h"

namespace {

struct Element {
    int value = 0;
};

using OwnQueue = moodycamel::ReaderWriterQueue<int>;

// What each thread does with queues of its own between the racing accesses:
// `own` is made before the threads start, so only its operations happen in
// between.
struct Touch {
    std::string name;
    std::function<void(OwnQueue& own)> producer;  // after its write
    std::function<void(OwnQueue& own)> consumer;  // before its read
};

void own_queue_traffic(OwnQueue& own) {
    own.enqueue(1);
    int v = 0;
    (void)own.try_dequeue(v);
    (void)own.peek();
}

void make_and_drop_a_queue(OwnQueue&) {
    OwnQueue made(4);
    (void)made.size_approx();
    (void)made.max_capacity();
    moodycamel::BlockingReaderWriterQueue<int> blocking(4);
    (void)blocking.size_approx();
}

// Spins on a flag that orders nothing for ThreadSanitizer (relaxed), with a
// deadline far beyond any scheduling delay.
void wait_for(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!flag.load(std::memory_order_relaxed)) {
        if (std::chrono::steady_clock::now() > deadline) std::abort();
        std::this_thread::yield();
    }
}

// The race: the producer writes an element it has already enqueued.
void race_through_an_element(const Touch& touch) {
    moodycamel::ReaderWriterQueue<Element*> queue(4);
    OwnQueue producer_own(4);
    OwnQueue consumer_own(4);
    Element element;
    std::atomic<bool> written{false};
    int seen = 0;
    std::thread producer([&] {
        queue.enqueue(&element);
        element.value = 1;  // after the hand-over: nothing orders it before the read
        touch.producer(producer_own);
        written.store(true, std::memory_order_relaxed);
    });
    std::thread consumer([&] {
        Element* e = nullptr;
        while (!queue.try_dequeue(e)) std::this_thread::yield();
        wait_for(written);
        touch.consumer(consumer_own);
        seen = e->value;
    });
    producer.join();
    consumer.join();
    std::exit(seen == 1 ? 0 : 3);  // ThreadSanitizer turns a reported race into its exit code
}

// ThreadSanitizer's exit code for a process it reported in (its default).
constexpr int TSAN_REPORTED = 66;

TEST(QueueRaceCanary, ThreadSanitizerReportsARaceThroughAnElementWhateverElseTouchesQueues) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Touch touches[] = {
        {"nothing", [](OwnQueue&) {}, [](OwnQueue&) {}},
        {"traffic on a queue of each thread's own", own_queue_traffic, own_queue_traffic},
        {"a queue made, measured and dropped by each", make_and_drop_a_queue, make_and_drop_a_queue},
    };
    for (const auto& touch : touches) {
        SCOPED_TRACE(touch.name);
        EXPECT_EXIT(race_through_an_element(touch), testing::ExitedWithCode(TSAN_REPORTED),
                    "WARNING: ThreadSanitizer: data race");
    }
}

}  // namespace

#endif  // __SANITIZE_THREAD__
