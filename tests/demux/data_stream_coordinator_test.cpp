#include "pelionp/demux/data_stream_coordinator.h"

#include <algorithm>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include "pelionp/demux/byte_budget.h"
#include "tests/support/gate.h"
#include "tests/demux/raw_words.h"
#include "tests/support/log_capture.h"

namespace pelionp::demux {
namespace {

using test::LogCapture;
using test::device_buffer;
using test::word;
using spdlog::level::debug;
constexpr auto error = spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;

constexpr unsigned TS = 4;

// Every buffer pushed before a control call has been demultiplexed when the
// call returns; SID 6 has no producer, so unsubscribing it changes nothing.
void drain(DataStreamCoordinator& c) { ASSERT_TRUE(c.unsubscribe(SID{6}).has_value()); }

std::vector<SIDQueueEntry> take_all(SIDQueue& q) {
    std::vector<SIDQueueEntry> out;
    SIDQueueEntry e;
    while (q.try_dequeue(e)) out.push_back(std::move(e));
    return out;
}

std::shared_ptr<SIDQueue> subscribe(DataStreamCoordinator& c, unsigned sid) {
    auto q = make_sid_queue();
    auto r = c.push_subscription({SID{sid}, q});
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
    return q;
}

TEST(DataStreamCoordinator, RefusesBuffersThatAreNotWholeWords) {
    DataStreamCoordinator c;
    for (std::size_t size : {std::size_t{0}, std::size_t{24}, std::size_t{15}}) {
        try {
            c.push_buffer(device_buffer(std::vector<uint8_t>(size, 0xD8)));
            FAIL() << "size " << size << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Buffer must contain at least 16 byte and be divisible by 16");
        }
    }
}

TEST(DataStreamCoordinator, ControlCallsRefuseWhatCannotBeSubscribed) {
    DataStreamCoordinator c;
    EXPECT_EQ(c.push_subscription({SID::TIMESTAMP, make_sid_queue()}).error(),
              "SID 4 is the timestamp stream and is consumed internally; it cannot be subscribed");
    EXPECT_EQ(c.push_subscription({SID::TIMESTAMP, nullptr}).error(), "Cannot subscribe SID 4 with a null queue");
    EXPECT_EQ(c.push_subscription({SID{9}, nullptr}).error(), "Cannot subscribe SID 9 with a null queue");
    EXPECT_EQ(c.push_subscription({SID{16}, make_sid_queue()}).error(), "SID 16 is out of range 0..15");
    EXPECT_EQ(c.unsubscribe(SID{99}).error(), "SID 99 is out of range 0..15");

    auto q = subscribe(c, 9);
    auto again = c.push_subscription({SID{9}, make_sid_queue()});
    EXPECT_EQ(again.error(), "Queue already exists for SID 9");

    auto gone = c.unsubscribe(SID{9});
    ASSERT_TRUE(gone.has_value());
    EXPECT_EQ(gone->queue, q);
    auto none = c.unsubscribe(SID{9});
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->sid, SID{9});
    EXPECT_EQ(none->queue, nullptr);
}

TEST(DataStreamCoordinator, SortsWordsBySidWithTheLastTimestampAndSharesTheBuffer) {
    DataStreamCoordinator c;
    auto q8 = subscribe(c, 8);
    auto q13 = subscribe(c, 13);
    auto returned = c.push_subscription({SID{1}, make_sid_queue()});
    ASSERT_TRUE(returned.has_value());
    EXPECT_NE(returned->queue, nullptr);  // handed back to the caller

    c.push_buffer(device_buffer({word(8, 0), word(TS, 0, 0x1122334455667788), word(8, 1), word(13, 0),
                                 word(10, 0), word(TS, 1, 42), word(13, 1), word(8, 2)}));
    c.push_buffer(device_buffer({word(13, 2)}));
    drain(c);

    auto e8 = take_all(*q8);
    auto e13 = take_all(*q13);
    ASSERT_EQ(e8.size(), 1u);
    ASSERT_EQ(e13.size(), 2u);
    using W = std::vector<SIDWord>;
    EXPECT_EQ(std::get<0>(e8[0]), (W{{0, 0}, {0x1122334455667788, 32}, {42, 112}}));
    EXPECT_EQ(std::get<0>(e13[0]), (W{{0x1122334455667788, 48}, {42, 96}}));
    EXPECT_EQ(std::get<0>(e13[1]), (W{{42, 0}}));  // the timestamp carries over to the next buffer
    EXPECT_EQ(std::get<1>(e8[0]), 128u);
    EXPECT_EQ(std::get<1>(e13[1]), 16u);
    EXPECT_EQ(std::get<2>(e8[0]).get(), std::get<2>(e13[0]).get());  // one buffer, never copied
    EXPECT_EQ(std::get<2>(e8[0])[112], 0xD8);
    EXPECT_EQ(returned->queue->size_approx(), 0u);  // SID 1 sent nothing
}

TEST(DataStreamCoordinator, TimestampOnlyBufferEnqueuesNothingButStampsLaterWords) {
    DataStreamCoordinator c;
    auto q = subscribe(c, 5);
    c.push_buffer(device_buffer({word(TS, 0, 7)}));
    drain(c);
    EXPECT_EQ(q->size_approx(), 0u);
    c.push_buffer(device_buffer({word(5, 0)}));
    drain(c);
    auto e = take_all(*q);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(std::get<0>(e[0]), (std::vector<SIDWord>{{7, 0}}));
}

TEST(DataStreamCoordinator, SubscriptionChangesApplyExactlyBetweenBuffers) {
    DataStreamCoordinator c;
    auto q = make_sid_queue();
    uint8_t n = 0;
    for (int i = 0; i < 50; ++i) c.push_buffer(device_buffer({word(8, n++)}));
    ASSERT_TRUE(c.push_subscription({SID{8}, q}).has_value());
    for (int i = 0; i < 30; ++i) c.push_buffer(device_buffer({word(8, n++)}));
    ASSERT_TRUE(c.unsubscribe(SID{8}).has_value());
    for (int i = 0; i < 50; ++i) c.push_buffer(device_buffer({word(8, n++)}));
    drain(c);
    auto e = take_all(*q);
    ASSERT_EQ(e.size(), 30u);
    for (auto& entry : e) EXPECT_EQ(std::get<2>(entry)[1], 50 + (&entry - e.data()));
}

TEST(DataStreamCoordinator, FirstMismatchIsAnAdoptionLaterOnesAreDiscontinuities) {
    LogCapture log;
    DataStreamCoordinator c;
    auto q = subscribe(c, 8);
    c.push_buffer(device_buffer({word(8, 5), word(8, 6), word(8, 7)}));
    drain(c);
    EXPECT_TRUE(log.contains(debug, "Demux channel 8, adopted device row counter 5"));
    EXPECT_EQ(log.count_containing("discontinuity"), 0u);

    // Two gaps in one buffer: one message, with the values of the last.
    c.push_buffer(device_buffer({word(8, 8), word(8, 20), word(8, 21), word(8, 30)}));
    drain(c);
    EXPECT_EQ(log.count_containing("Demux channel 8, discontinuity"), 1u);
    EXPECT_TRUE(log.contains(warn, "Demux channel 8, discontinuity detected: prev 22, current 30"));

    // Unsubscribed SIDs are tracked too; 255 -> 0 wraps without a gap, and
    // the expected count keeps its upper bits.
    c.push_buffer(device_buffer({word(11, 254), word(11, 255), word(11, 0)}));
    c.push_buffer(device_buffer({word(11, 3)}));
    drain(c);
    EXPECT_TRUE(log.contains(debug, "Demux channel 11, adopted device row counter 254"));
    EXPECT_TRUE(log.contains(warn, "Demux channel 11, discontinuity detected: prev 257, current 3"));
}

TEST(DataStreamCoordinator, ResetKeepsSubscriptionsAndRestartsCounters) {
    LogCapture log;
    DataStreamCoordinator c;
    auto q8 = subscribe(c, 8);
    auto q9 = subscribe(c, 9);
    c.push_buffer(device_buffer({word(TS, 9, 1), word(8, 40), word(9, 3), word(8, 41)}));
    drain(c);
    ASSERT_TRUE(c.reset().has_value());
    log.clear();

    // SID 8 mismatches 0: an adoption again. SID 9 happens to send 0: no
    // message, and its bit stays clear, so its next mismatch adopts too.
    c.push_buffer(device_buffer({word(8, 42), word(9, 0), word(9, 7)}));
    drain(c);
    EXPECT_TRUE(log.contains(debug, "Demux channel 8, adopted device row counter 42"));
    EXPECT_TRUE(log.contains(debug, "Demux channel 9, adopted device row counter 7"));
    EXPECT_EQ(log.count_containing("discontinuity"), 0u);

    auto e8 = take_all(*q8);
    ASSERT_EQ(e8.size(), 2u);
    EXPECT_EQ(std::get<0>(e8[1]), (std::vector<SIDWord>{{0, 0}}));  // the timestamp restarted at 0
    EXPECT_EQ(take_all(*q9).size(), 2u);
}

TEST(DataStreamCoordinator, OnlyTheFirstWordsPreambleIsChecked) {
    LogCapture log;
    DataStreamCoordinator c;
    auto q = subscribe(c, 3);
    auto bad = test::bytes_of({word(3, 0), word(3, 1)});
    bad[16] = 0xA3;  // a later word: accepted with the buffer
    c.push_buffer(device_buffer(bad));
    bad[0] = 0xA3;
    c.push_buffer(device_buffer(bad));
    drain(c);
    auto e = take_all(*q);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(std::get<0>(e[0]).size(), 2u);
    EXPECT_EQ(log.at(warn), std::vector<std::string>{"DataStream: preamble invalid, discarding the data packet"});
}

TEST(DataStreamCoordinator, AbandonedQueueIsDroppedAndTheSidCanBeSubscribedAgain) {
    LogCapture log;
    DataStreamCoordinator c;
    auto q = subscribe(c, 12);
    std::weak_ptr<SIDQueue> watch = q;
    q.reset();
    ASSERT_TRUE(log.wait_for(debug, "Demux: dropping abandoned queue"));
    drain(c);
    EXPECT_TRUE(watch.expired());  // the runner let go of it

    auto fresh = subscribe(c, 12);
    c.push_buffer(device_buffer({word(12, 0)}));
    drain(c);
    EXPECT_EQ(take_all(*fresh).size(), 1u);
}

TEST(DataStreamCoordinator, ReplacingAnAbandonedQueueBeforeTheRunnerNoticesWorks) {
    DataStreamCoordinator c;
    for (int i = 0; i < 20; ++i) {
        auto q = subscribe(c, 14);
        q.reset();
        auto fresh = make_sid_queue();
        ASSERT_TRUE(c.push_subscription({SID{14}, fresh}).has_value());
        c.push_buffer(device_buffer({word(14, 0)}));
        drain(c);
        ASSERT_EQ(take_all(*fresh).size(), 1u);
        ASSERT_TRUE(c.unsubscribe(SID{14}).has_value());
    }
}

TEST(DataStreamCoordinator, SilentSubscriptionIsReportedOnceAndItsResumption) {
    LogCapture log;
    DataStreamCoordinator c;
    auto q = subscribe(c, 2);
    ASSERT_TRUE(log.wait_for(error, "Demux channel 2, no data for over 1000ms"));
    c.push_buffer(device_buffer({word(2, 0)}));
    ASSERT_TRUE(log.wait_for(info, "Demux channel 2, data resumed"));
    EXPECT_EQ(log.count_containing("no data for over"), 1u);
}

// Blocks the thread that logs a matching message until released.
class GateSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit GateSink(std::string needle) : needle_(std::move(needle)) {}
    test::Gate entered;
    test::Gate release;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (std::string_view(msg.payload.data(), msg.payload.size()).find(needle_) != std::string_view::npos &&
            !tripped_) {
            tripped_ = true;
            entered.open();
            release.wait();
        }
    }
    void flush_() override {}

private:
    std::string needle_;
    bool tripped_ = false;
};

TEST(DataStreamCoordinator, DestructionReleasesAWaitingControlCallWithItsMessage) {
    LogCapture log;
    auto gate = std::make_shared<GateSink>("adopted device row counter");
    spdlog::default_logger()->sinks().push_back(gate);
    {
        auto c = std::make_unique<DataStreamCoordinator>();
        c->push_buffer(device_buffer({word(8, 9)}));
        gate->entered.wait();  // the runner is stuck inside this buffer

        auto pending = std::async(std::launch::async, [raw = c.get()] { return raw->reset(); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (c->queued_items_approx() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_EQ(c->queued_items_approx(), 1u);  // the reset waits behind the stuck buffer

        auto destroyer = std::async(std::launch::async, [&] { c.reset(); });
        auto result = pending.get();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), "Demux runner stopped before applying the change");
        gate->release.open();
        destroyer.get();
    }
    auto& sinks = spdlog::default_logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), gate), sinks.end());
}

// The runner stalls inside the first buffer; behind it the backlog is bounded
// by bytes (half the data path budget) or by count, and the newest buffers
// are the ones dropped, counted and warned about once.
struct BacklogCase {
    const char* name;
    std::size_t budget_limit;
    unsigned words_per_buffer;
    uint64_t accepted;  // buffers the stalled runner's queue takes
    uint64_t refused;   // pushed beyond those
    unsigned sid;       // of the pushed buffers' words: 8 is subscribed (NB: each entry pins a list of 16 KiB)
};

// GateSink without its lock, so other threads go on logging while the gated one waits.
class UnlockedGateSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    explicit UnlockedGateSink(std::string needle) : needle_(std::move(needle)) {}
    test::Gate entered;
    test::Gate release;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (std::string_view(msg.payload.data(), msg.payload.size()).find(needle_) != std::string_view::npos &&
            !tripped_.exchange(true)) {
            entered.open();
            release.wait();
        }
    }
    void flush_() override {}

private:
    const std::string needle_;
    std::atomic<bool> tripped_{false};
};

class Backlog : public ::testing::TestWithParam<BacklogCase> {
protected:
    ~Backlog() override { data_path_budget().set_limit(saved_limit_); }

private:
    std::size_t saved_limit_ = data_path_budget().limit();
};

TEST_P(Backlog, NewestBuffersAreDroppedAtTheEntryCountedAndWarnedOnce) {
    const auto& p = GetParam();
    LogCapture log;
    data_path_budget().set_limit(p.budget_limit);
    auto gate = std::make_shared<UnlockedGateSink>("adopted device row counter");
    spdlog::default_logger()->sinks().push_back(gate);
    const std::unique_ptr<void, void (*)(void*)> unhook(gate.get(), [](void* sink) {
        auto& sinks = spdlog::default_logger()->sinks();
        std::erase_if(sinks, [&](const auto& s) { return s.get() == sink; });
    });
    const auto buffer = [&](uint64_t index) {
        std::vector<uint8_t> bytes;
        for (unsigned w = 0; w < p.words_per_buffer; ++w) {
            const auto one = test::bytes_of({word(index == 0 ? 8 : p.sid, static_cast<uint8_t>(9 + index * p.words_per_buffer + w))});
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        return device_buffer(bytes);
    };
    {
        DataStreamCoordinator c;
        struct ReleaseAtExit {
            test::Gate& gate;
            ~ReleaseAtExit() { gate.open(); }  // before c: a failed assertion must not leave the runner stuck
        } release_at_exit{gate->release};
        auto q = subscribe(c, 8);
        c.push_buffer(buffer(0));
        ASSERT_TRUE(gate->entered.wait_for(std::chrono::seconds(10)));  // the runner is stuck inside it
        for (uint64_t i = 1; i <= p.accepted + p.refused; ++i) c.push_buffer(buffer(i));
        // A refused buffer travels on as a small count of what it held.
        EXPECT_EQ(c.queued_items_approx(), p.accepted + p.refused);
        EXPECT_EQ(c.holdings_approx().refused_buffers, p.refused);
        EXPECT_EQ(c.holdings_approx().refused_words, p.refused * p.words_per_buffer);
        EXPECT_EQ(log.count_containing("dropping the newest device buffers"), 1u);
        // A backlog deeper than the warning's depth warns once, not per buffer.
        EXPECT_EQ(log.count_containing("System might not be able to keep up"),
                  p.accepted > DataStreamCoordinator::QUEUE_WARN_DEPTH ? 1u : 0u);

        gate->release.open();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (c.queued_items_approx() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        ASSERT_EQ(c.queued_items_approx(), 0u);
        c.push_buffer(buffer(p.accepted + p.refused + 1));  // caught up: taken again
        drain(c);
        EXPECT_TRUE(log.contains(info, fmt::format("Demultiplexer caught up: {} device buffers ({} words) were dropped "
                                                   "while it was behind",
                                                   p.refused, p.refused * p.words_per_buffer)));
        EXPECT_EQ(c.holdings_approx().refused_buffers, p.refused);

        if (p.sid != 8) return;
        // Every refused word is counted once, as the budget's; the counters
        // go on past the refused buffers, so nothing is lost on the wire.
        EXPECT_EQ(q->losses.budget_words.load(), p.refused * p.words_per_buffer);
        EXPECT_EQ(q->losses.wire_words.load(), 0u);
        // Kept: the stalled buffer, the oldest behind it, and the one after the episode.
        const auto entries = take_all(*q);
        ASSERT_EQ(entries.size(), p.accepted + 2);
        const auto first_counter = [](const SIDQueueEntry& e) {
            return std::get<2>(e)[static_cast<std::size_t>(std::get<0>(e).front().second) + 1];
        };
        for (uint64_t i = 0; i <= p.accepted; ++i)
            EXPECT_EQ(first_counter(entries[i]), static_cast<uint8_t>(9 + i * p.words_per_buffer));
        EXPECT_EQ(first_counter(entries.back()),
                  static_cast<uint8_t>(9 + (p.accepted + p.refused + 1) * p.words_per_buffer));
    }
}

// A buffer of w words is charged 32 w bytes; the entry holds half the limit.
INSTANTIATE_TEST_SUITE_P(
    Bounds, Backlog,
    ::testing::Values(BacklogCase{"ByBytes", 2 * 10 * 32 * 4, 4, 10, 20, 8},
                      BacklogCase{"ByCount", ByteBudget::DEFAULT_LIMIT, 1, DataStreamCoordinator::MAX_QUEUED_BUFFERS, 5, 9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DataStreamCoordinator, ManyProducersAndControlCallersMeetCleanly) {
    DataStreamCoordinator c;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        uint8_t n = 0;
        // Keep a bounded backlog: every control call waits behind the buffers
        // queued before it, so an unbounded producer only grows memory.
        while (!done.load()) {
            if (c.queued_items_approx() > 256) {
                std::this_thread::yield();
                continue;
            }
            c.push_buffer(device_buffer({word(TS, n, n), word(8, n), word(9, n)}));
            ++n;
        }
    });
    std::vector<std::thread> callers;
    for (unsigned sid : {8u, 9u}) {
        callers.emplace_back([&, sid] {
            for (int i = 0; i < 50; ++i) {
                auto q = make_sid_queue();
                ASSERT_TRUE(c.push_subscription({SID{sid}, q}).has_value());
                ASSERT_TRUE(c.reset().has_value());
                auto r = c.unsubscribe(SID{sid});
                ASSERT_TRUE(r.has_value());
                ASSERT_EQ(r->queue, q);
            }
        });
    }
    for (auto& t : callers) t.join();
    done = true;
    producer.join();
}

}  // namespace
}  // namespace pelionp::demux
