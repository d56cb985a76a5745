#pragma once
// DataStreamCoordinator: splits the device's raw word stream into per-SID
// queues.
//
// Threading contract:
// - `push_buffer` is called from the device stream's thread. It never waits
//   for demultiplexing: one short mutex and one queue append. When the
//   runner falls behind, so that the buffers waiting for it would hold more
//   than their bound (half the data path's byte budget, or
//   MAX_QUEUED_BUFFERS), the newest buffer is dropped there instead, counted
//   (DemuxHoldings::refused_*), and warned about once per episode; the
//   episode ends once the backlog is back under half its bound.
// - `push_subscription`, `unsubscribe` and `reset` may be called from any
//   thread; concurrent callers are serialised. Each blocks until the runner
//   thread has applied the change, so on success every buffer pushed before
//   the call was demultiplexed under the old subscriptions and every buffer
//   pushed after it will be demultiplexed under the new ones.
// - The runner thread, owned and joined by the coordinator, is the only
//   reader of the raw words. It blocks on its queue until a buffer or a
//   control event arrives or its watchdog's next deadline passes; the
//   destructor wakes it. It never copies sample data: subscribers get the
//   byte offsets of their words in one shared buffer.
// - Lock order: state mutex before enqueue mutex.
//
// The coordinator's record of subscriptions is weak: a subscriber that drops
// its queue without unsubscribing is detected by the runner and dropped.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "pelionp/demux/sid.h"
#include "pelionp/demux/sid_queue.h"
#include "pelionp/demux/wakeable_queue.h"
#include "pelionp/demux/word_list_pool.h"
#include "pelionp/export.h"

namespace pelionp::demux {

/// What the demultiplexer holds besides its subscriptions.
struct DemuxHoldings {
    /// Device buffers and control events waiting for the runner: a backlog.
    std::size_t queued_items = 0;
    /// Word-list storage kept idle for reuse, at most
    /// WordListPool::MAX_IDLE_BYTES: memory held by design, not growth.
    std::size_t idle_list_bytes = 0;
    /// Device buffers dropped at the entry because the backlog was over its
    /// bound, and their 16-byte words, since construction. Their streams see
    /// them as gaps of their row counters (StreamLosses::wire).
    uint64_t refused_buffers = 0;
    uint64_t refused_words = 0;
};

class PELIONP_API DataStreamCoordinator {
public:
    /// Subscribes `queue` under `sid`; a null queue means "remove".
    struct SubscribeEvent {
        SID sid;
        std::shared_ptr<SIDQueue> queue;
    };

    /// An engaged subscription subscribes or unsubscribes; an empty one is a
    /// reset. `sequence` numbers the event for the caller waiting on it.
    struct ControlEvent {
        std::optional<SubscribeEvent> subscription;
        uint64_t sequence = 0;
    };

    /// Control events and data buffers share one queue, so a change of
    /// subscriptions takes effect exactly between two buffers.
    ///
    /// A buffer refused at the entry travels as what it held, so that the
    /// runner counts its words as lost and each SID's counter and the clock
    /// go on past it.
    struct RefusedWords {
        std::array<uint32_t, SID_COUNT> words{};
        std::array<uint8_t, SID_COUNT> first{};  // row counter of each SID's first word
        std::array<uint8_t, SID_COUNT> last{};   // and of its last
        uint16_t seen = 0;                       // SIDs with words
        std::optional<uint64_t> timestamp;       // of its last timestamp word
    };
    using ControlItem = std::variant<ControlEvent, DataBuffer, RefusedWords>;

    /// Control-queue depth above which `push_buffer` warns (once, until the
    /// queue is back to half this depth).
    static constexpr uint64_t QUEUE_WARN_DEPTH = 1024;
    /// Control-queue depth at which `push_buffer` drops the newest buffer
    /// (a minute of 1 ms buffers: a bound on latency more than on memory).
    static constexpr uint64_t MAX_QUEUED_BUFFERS = 65536;

    /// Starts the runner. Throws std::system_error if it cannot.
    DataStreamCoordinator();
    /// Releases blocked control calls with an error, joins the runner and
    /// frees every buffer still queued.
    ~DataStreamCoordinator();
    DataStreamCoordinator(const DataStreamCoordinator&) = delete;
    DataStreamCoordinator& operator=(const DataStreamCoordinator&) = delete;

    /// Queues one device buffer. Throws std::runtime_error (and frees the
    /// buffer) if its length is 0 or not a multiple of 16.
    void push_buffer(DataBuffer buffer);

    /// Subscribes the event's queue; returns the event on success. Refuses a
    /// null queue, SID 4 and a SID that still has a live queue.
    std::expected<SubscribeEvent, std::string> push_subscription(SubscribeEvent event);
    /// Removes the subscription of `sid`; returns {sid, the queue that was
    /// subscribed or null}.
    std::expected<SubscribeEvent, std::string> unsubscribe(SID sid);
    /// Restarts the runner's per-SID bookkeeping (row counters, timestamps,
    /// watchdog); subscriptions stay.
    std::expected<void, std::string> reset();

    /// Whether the subscriber of a queue the coordinator was given has let go
    /// of it. The coordinator holds exactly one reference to every queue it
    /// was given (in the pending event or in the runner) until the runner
    /// drops it, so a single owner means abandoned, whether or not the runner
    /// has noticed yet. A snapshot: a subscriber may let go right after.
    [[nodiscard]] static bool abandoned_approx(const std::weak_ptr<SIDQueue>& given) { return given.use_count() <= 1; }

    /// Buffers and control events waiting for the runner (a snapshot), for
    /// status displays and diagnostics.
    [[nodiscard]] std::size_t queued_items_approx() const { return control_queue.size_approx(); }
    /// What the coordinator holds now (a snapshot, each figure read on its
    /// own), for status displays and memory watches.
    [[nodiscard]] DemuxHoldings holdings_approx() const {
        return {queued_items_approx(), word_lists->idle_bytes_approx(), refused_buffers.load(std::memory_order_relaxed),
                refused_words.load(std::memory_order_relaxed)};
    }

private:
    std::expected<void, std::string> enqueue_control_and_wait(std::optional<SubscribeEvent> subscription,
                                                              std::unique_lock<std::mutex>& lock,
                                                              const char* failure);
    std::expected<void, std::string> wait_applied(uint64_t sequence, std::unique_lock<std::mutex>& lock);
    void run();
    // Whether the buffer must be dropped at the entry; logs an episode's
    // start and end. Under enqueue_mutex.
    bool refuse_locked(uint64_t depth, std::size_t charge, uint64_t length);

    class Runner;
    friend class Runner;

    std::array<std::weak_ptr<SIDQueue>, SID_COUNT> subscriptions;
    std::mutex state_mutex;
    std::condition_variable applied_cv;
    uint64_t requested_sequence = 0;
    uint64_t applied_sequence = 0;
    uint64_t main_queue_high_water_mark = 0;
    // The keep-up warning went out for this backlog; cleared once the queue
    // is back to half the warning's depth. Under enqueue_mutex.
    bool keep_up_warned = false;
    uint64_t waiting_callers = 0;  // control calls inside wait_applied, under state_mutex
    std::mutex enqueue_mutex;
    WakeableQueue<ControlItem, 512> control_queue{15};
    // Budget charge of the buffers queued for the runner (the backlog).
    std::atomic<std::size_t> backlog_bytes{0};
    bool refusing = false;  // an episode of dropping at the entry is on; under enqueue_mutex
    uint64_t episode_refused_buffers = 0;  // under enqueue_mutex
    uint64_t episode_refused_words = 0;    // under enqueue_mutex
    std::atomic<uint64_t> refused_buffers{0};
    std::atomic<uint64_t> refused_words{0};
    const std::shared_ptr<WordListPool> word_lists = std::make_shared<WordListPool>();  // the runner's
    std::atomic<bool> running{false};
    std::thread runner;
};

}  // namespace pelionp::demux
