#include "pelionp/demux/data_stream_coordinator.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "pelionp/demux/byte_budget.h"
#include "pelionp/demux/compact_words.h"
#include "pelionp/demux/tick_table.h"
#include "pelionp/demux/word_list_pool.h"
#include "pelionp/thread_name.h"

namespace pelionp::demux {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned TIMESTAMP_SID = to_underlying(SID::TIMESTAMP);
constexpr auto SILENCE_LIMIT = std::chrono::nanoseconds(1'000'000'000);
// The longest the runner waits without an item: how soon it notices a
// subscriber that let go of its queue.
constexpr auto HOUSEKEEPING_PERIOD = std::chrono::milliseconds(100);

uint64_t load_le64(const uint8_t* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = std::byteswap(v);
    }
    return v;
}

constexpr uint16_t bit(unsigned sid) noexcept { return static_cast<uint16_t>(1u << sid); }

void count(std::atomic<uint64_t>& counter, uint64_t words) noexcept {
    counter.fetch_add(words, std::memory_order_relaxed);
}

// What a device buffer holds of the data path's budget while the
// coordinator and its subscribers have it: its bytes and, as much again,
// the word lists that name its words.
constexpr std::size_t charge_of(uint64_t length) noexcept { return 2 * static_cast<std::size_t>(length); }

std::expected<void, std::string> check_range(SID sid) {
    if (to_underlying(sid) >= SID_COUNT) {
        return std::unexpected(fmt::format("SID {} is out of range 0..15", to_underlying(sid)));
    }
    return {};
}

}  // namespace

// The runner's private state: only the runner thread touches it.
class DataStreamCoordinator::Runner {
public:
    explicit Runner(DataStreamCoordinator& owner) : owner_(owner) {}

    void run() {
        ControlItem item;
        while (owner_.running.load(std::memory_order_acquire)) {
            drop_abandoned_queues();
            const auto now = Clock::now();
            watchdog(now);
            if (!owner_.control_queue.wait_dequeue_until(item, next_check(now))) {
                continue;
            }
            if (auto* event = std::get_if<ControlEvent>(&item)) {
                apply(*event);
            } else if (const auto* refused = std::get_if<RefusedWords>(&item)) {
                skip(*refused);
            } else {
                auto& buffer = std::get<DataBuffer>(item);
                owner_.backlog_bytes.fetch_sub(charge_of(buffer.first), std::memory_order_relaxed);
                demultiplex(buffer);
            }
            item = ControlItem{};  // frees the buffer or the event's queue now, not at the next item
        }
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (expected_row_counter_[sid] != 0) {
                spdlog::debug("Demux channel {}, row count : {}, high water mark : {}", sid,
                              expected_row_counter_[sid], high_water_mark_[sid]);
            }
        }
    }

private:
    struct Discontinuity {
        uint64_t previous;
        uint8_t current;
    };

    void drop_abandoned_queues() {
        for (auto& queue : queues_) {
            // NB: use_count is a snapshot; a subscriber releasing its queue
            // concurrently is caught at the next loop, which is all we need.
            if (queue && queue.use_count() == 1) {
                spdlog::debug("Demux: dropping abandoned queue");
                queue.reset();
                // The SID's list under construction goes back as well.
                const auto sid = static_cast<std::size_t>(&queue - queues_.data());
                pool_->give_back(std::move(lists_[sid]));
                lists_[sid] = {};
            }
        }
    }

    // When the watchdog has something to report at the earliest: the moment
    // the first live subscribed SID has been silent for over a second.
    Clock::time_point next_check(Clock::time_point now) const {
        auto next = now + HOUSEKEEPING_PERIOD;
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (queues_[sid] && (stale_mask_ & bit(sid)) == 0) {
                next = std::min(next, last_seen_[sid] + SILENCE_LIMIT + std::chrono::microseconds(1));
            }
        }
        return next;
    }

    void watchdog(Clock::time_point now) {
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (!queues_[sid]) {
                continue;
            }
            const bool stale = (now - last_seen_[sid]) > SILENCE_LIMIT;
            const bool reported = (stale_mask_ & bit(sid)) != 0;
            if (stale == reported) {
                continue;
            }
            if (stale) {
                stale_mask_ |= bit(sid);
                spdlog::error("Demux channel {}, no data for over {}ms", sid, 1000);
            } else {
                stale_mask_ &= static_cast<uint16_t>(~bit(sid));
                spdlog::info("Demux channel {}, data resumed", sid);
            }
        }
    }

    void apply(ControlEvent& event) {
        const auto now = Clock::now();
        {
            std::lock_guard lock(owner_.state_mutex);
            if (!event.subscription) {
                expected_row_counter_.fill(0);
                high_water_mark_.fill(0);
                adopted_mask_ = 0;
                counting_mask_ = 0;
                stale_mask_ = 0;
                last_timestamp_ = 0;
                last_seen_.fill(now);
            } else {
                const unsigned sid = to_underlying(event.subscription->sid);
                queues_[sid] = std::move(event.subscription->queue);
                if (!queues_[sid]) {
                    pool_->give_back(std::move(lists_[sid]));
                    lists_[sid] = {};
                }
                adopted_mask_ &= static_cast<uint16_t>(~bit(sid));
                counting_mask_ &= static_cast<uint16_t>(~bit(sid));
                stale_mask_ &= static_cast<uint16_t>(~bit(sid));
                last_seen_[sid] = now;
            }
            owner_.applied_sequence = event.sequence;
        }
        owner_.applied_cv.notify_all();
    }

    // One SID's state while a buffer is demultiplexed: its row counter, and
    // where its words go (the list's storage, filled up to `used`, writable
    // up to `size`).
    struct Lane {
        uint64_t expected = 0;
        SIDWord* data = nullptr;
        uint32_t used = 0;
        uint32_t size = 0;
    };

    // What the pass over one buffer works on. NB: a local, not members, so
    // the hot loop keeps nothing but a few pointers in registers; the rare
    // words (a counter mismatch, a timestamp, a full list, an unsubscribed
    // SID) go to `rare_word`, out of line.
    struct Pass {
        std::array<Lane, SID_COUNT> lanes{};
        uint64_t timestamp = 0;
        const uint8_t* bytes = nullptr;
        const uint8_t* end = nullptr;
        uint16_t subscribed = 0;
        uint16_t discontinuous = 0;
        uint16_t compact = 0;  // subscribed SIDs whose lists take the compact form
        // Per SID: words the list stands for minus its entries (the header
        // slot, the tick tables, the runs), and the table version it names.
        std::array<int64_t, SID_COUNT> extra{};
        std::array<uint32_t, SID_COUNT> table_named{};
    };

    static uint64_t words_of(const Pass& pass, unsigned sid) noexcept {
        return static_cast<uint64_t>(int64_t{pass.lanes[sid].used} + pass.extra[sid]);
    }

    void demultiplex(DataBuffer& buffer) {
        const auto now = Clock::now();
        const uint64_t length = buffer.first;
        if ((buffer.second[0] >> 4) != STREAM_WORD_PREAMBLE) {
            spdlog::warn("DataStream: preamble invalid, discarding the data packet");
            data_path_budget().credit(charge_of(length));
            return;
        }
        const std::shared_ptr<uint8_t[]> shared = share_buffer(std::move(buffer.second), pool_, charge_of(length));
        // NB: decided once per buffer; over the budget its words are counted
        // and handed to no stream (the counters still follow them).
        const bool over_budget = data_path_budget().over();

        Pass pass;
        pass.bytes = shared.get();
        pass.end = pass.bytes + length;
        pass.timestamp = last_timestamp_;
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            Lane& lane = pass.lanes[sid];
            lane.expected = expected_row_counter_[sid];
            if (!queues_[sid]) {
                continue;
            }
            pass.subscribed |= bit(sid);
            auto& list = lists_[sid];
            if (list.capacity() == 0) {
                list = pool_->take();
            }
            if (queues_[sid]->form == WordForm::compact) {
                if (list.empty()) {
                    try {
                        list.resize(MIN_LIST_WORDS);
                    } catch (const std::bad_alloc&) {
                        pass.subscribed &= static_cast<uint16_t>(~bit(sid));  // its words are counted as lost
                        continue;
                    }
                }
                pass.compact |= bit(sid);
                lane.used = 1;
                pass.extra[sid] = -1;
            }
            // A recycled list keeps its old size: its stale words are
            // overwritten, never value-initialised again.
            lane.data = list.data();
            lane.size = static_cast<uint32_t>(list.size());
        }

        // Register copies: stores into the lists may alias `pass`, locals
        // whose address never escapes cannot be aliased.
        const uint8_t* const bytes = pass.bytes;
        const uint8_t* const end = pass.end;
        uint64_t timestamp = pass.timestamp;
        // Word by word until a timestamp word begins a tick the table may
        // match, then tick by tick while the ticks match. NB: a tick is
        // learnt only within one buffer; the first whole tick of a buffer
        // is tried against the table learnt before.
        const uint8_t* word = bytes;
        const uint8_t* learning = nullptr;  // the timestamp word the tick being learnt began at
        const uint8_t* tried = nullptr;     // where the last tick-by-tick stretch stopped
        for (;;) {
            for (; word != end; word += STREAM_WORD_BYTES) {
                Lane& lane = pass.lanes[word[0] & 0x0Fu];
                if (static_cast<uint8_t>(lane.expected) == word[1] && lane.used < lane.size) [[likely]] {
                    ++lane.expected;
                    lane.data[lane.used++] = SIDWord{timestamp, static_cast<int>(word - bytes)};
                    continue;
                }
                const bool tick_starts = (word[0] & 0x0Fu) == TIMESTAMP_SID;
                if (tick_starts && word != tried) {
                    if (learning != nullptr) {
                        table_.learn(learning, static_cast<std::size_t>(word - learning) / STREAM_WORD_BYTES);
                    }
                    learning = nullptr;
                    if (table_.ready()) break;
                }
                rare_word(pass, word);
                timestamp = pass.timestamp;
                if (tick_starts) learning = word;
            }
            if (word == end) break;
            word = matching_ticks(pass, word);
            timestamp = pass.timestamp;
            tried = word;
        }
        last_timestamp_ = pass.timestamp;

        // A SID was seen if its counter moved or was re-adopted: a match
        // always moves it, and a mismatch is always recorded.
        uint16_t seen = pass.discontinuous;
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (pass.lanes[sid].expected != expected_row_counter_[sid]) {
                seen |= bit(sid);
            }
            expected_row_counter_[sid] = pass.lanes[sid].expected;
        }
        counting_mask_ |= seen;

        std::array<uint64_t, SID_COUNT> depth{};
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (seen & bit(sid)) {
                last_seen_[sid] = now;
            }
            const uint64_t words = words_of(pass, sid);
            if (queues_[sid] && !(pass.subscribed & bit(sid))) {
                // Out of memory earlier in this buffer: the words stored since are dropped too.
                count(queues_[sid]->losses.memory_words, words);
                continue;
            }
            if (!(pass.subscribed & bit(sid)) || words == 0) {
                continue;  // a subscribed SID keeps its list for the next buffer
            }
            if (over_budget) {
                count(queues_[sid]->losses.budget_words, words);
                continue;  // the list is overwritten by the next buffer
            }
            auto& list = lists_[sid];
            if (pass.compact & bit(sid)) list[0] = SIDWord{words, compact::HEADER};
            list.resize(pass.lanes[sid].used);  // only ever shrinks: ends the list after its last word
            // A failed allocation drops the entry: the decoder resynchronises
            // on its own counters.
            if (!queues_[sid]->enqueue(SIDQueueEntry{std::move(list), length, shared})) {
                count(queues_[sid]->losses.memory_words, words);
            }
            list = {};
            depth[sid] = queues_[sid]->size_approx();
        }

        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (pass.discontinuous & bit(sid)) {
                const auto& d = discontinuities_[sid];
                if (adopted_mask_ & bit(sid)) {
                    spdlog::warn("Demux channel {}, discontinuity detected: prev {}, current {}", sid, d.previous,
                                 d.current);
                } else {
                    adopted_mask_ |= bit(sid);
                    spdlog::debug("Demux channel {}, adopted device row counter {}", sid, d.current);
                }
            }
            if (depth[sid] > high_water_mark_[sid]) {
                spdlog::debug("Demux channel {}, high water mark: {}, previous: {}", sid, depth[sid],
                              high_water_mark_[sid]);
                high_water_mark_[sid] = depth[sid];
            }
        }
    }

    // Everything the hot loop leaves out, in the order the plain loop would
    // do it: the row counter, then the timestamp or the word's entry.
    // A buffer refused at the entry: its words are lost to the byte budget;
    // a gap before a SID's first word or between its words is lost on the
    // wire, as in a buffer taken; its counters and the clock go on past it.
    void skip(const RefusedWords& refused) {
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            if (!(refused.seen & bit(sid))) continue;
            if (queues_[sid]) {
                const auto within = static_cast<uint8_t>(refused.last[sid] - refused.first[sid] + 1 - refused.words[sid]);
                const auto before = (counting_mask_ & bit(sid))
                                        ? static_cast<uint8_t>(refused.first[sid] - static_cast<uint8_t>(expected_row_counter_[sid]))
                                        : uint8_t{0};
                count(queues_[sid]->losses.budget_words, refused.words[sid]);
                count(queues_[sid]->losses.wire_words, uint64_t{within} + before);
            }
            expected_row_counter_[sid] = uint64_t{refused.last[sid]} + 1;
            counting_mask_ |= bit(sid);
            adopted_mask_ |= bit(sid);
        }
        if (refused.timestamp) last_timestamp_ = *refused.timestamp;
    }

    [[gnu::noinline]] void rare_word(Pass& pass, const uint8_t* word) {
        const unsigned sid = word[0] & 0x0Fu;
        const uint8_t counter = word[1];
        Lane& lane = pass.lanes[sid];
        if (static_cast<uint8_t>(lane.expected) != counter) {
            // A gap once the SID was seen since it was subscribed (or the
            // counters reset) is words lost; the first word adopts the counter.
            const bool counting =
                ((counting_mask_ | pass.discontinuous) & bit(sid)) != 0 || lane.expected != expected_row_counter_[sid];
            if (counting && queues_[sid]) {
                count(queues_[sid]->losses.wire_words, static_cast<uint8_t>(counter - static_cast<uint8_t>(lane.expected)));
            }
            pass.discontinuous |= bit(sid);
            discontinuities_[sid] = {lane.expected, counter};
            lane.expected = uint64_t{counter} + 1;
        } else {
            ++lane.expected;
        }
        if (sid == TIMESTAMP_SID) {
            pass.timestamp = load_le64(word + STREAM_PAYLOAD_OFFSET);
            return;
        }
        if (!(pass.subscribed & bit(sid))) {
            if (queues_[sid]) count(queues_[sid]->losses.memory_words, 1);  // out of memory earlier in this buffer
            return;
        }
        if (lane.used >= lane.size && !grow(sid, lane, static_cast<uint64_t>(pass.end - word) / STREAM_WORD_BYTES)) {
            drop_list(pass, sid, 1);
            return;
        }
        lane.data[lane.used++] = SIDWord{pass.timestamp, static_cast<int>(word - pass.bytes)};
    }

    // A failed allocation drops this buffer's element of the SID, and
    // `more` words that had no room: the decoder resynchronises on its own
    // counters.
    void drop_list(Pass& pass, unsigned sid, uint64_t more) {
        spdlog::error("Demux channel {}, out of memory for its word list: dropping its words of this buffer", sid);
        count(queues_[sid]->losses.memory_words, words_of(pass, sid) + more);
        pass.subscribed &= static_cast<uint16_t>(~bit(sid));
        pass.lanes[sid].used = 0;
        pass.extra[sid] = 0;
    }

    // The ticks from `tick` (a timestamp word) on that match the table, back
    // to back: every lane's counter moves past them, the compact lists get
    // one run (and the table, the first time they name it), the per-word
    // lists every word. Returns the first word after them (`tick` if none
    // matched).
    const uint8_t* matching_ticks(Pass& pass, const uint8_t* const tick) {
        const uint32_t tick_bytes = table_.bytes();
        std::array<uint64_t, SID_COUNT> counters;
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) counters[sid] = pass.lanes[sid].expected;
        table_.expect(counters);
        const uint8_t* at = tick;
        while (static_cast<std::size_t>(pass.end - at) >= tick_bytes && table_.match(at)) at += tick_bytes;
        const auto ticks = static_cast<uint32_t>(static_cast<std::size_t>(at - tick) / tick_bytes);
        if (ticks == 0) return tick;
        pass.timestamp = compact::timestamp_at(at - tick_bytes);
        const auto remaining = static_cast<uint64_t>(pass.end - at) / STREAM_WORD_BYTES;
        for (unsigned sid = 0; sid < SID_COUNT; ++sid) {
            const uint32_t per_tick = table_.count(sid);
            if (per_tick == 0) continue;
            Lane& lane = pass.lanes[sid];
            const uint64_t words = uint64_t{per_tick} * ticks;
            lane.expected += words;
            if (sid == TIMESTAMP_SID || !queues_[sid]) continue;
            if (!(pass.subscribed & bit(sid))) {
                count(queues_[sid]->losses.memory_words, words);  // out of memory earlier in this buffer
                continue;
            }
            const auto positions = table_.positions(sid);
            const auto first = static_cast<uint32_t>(tick - pass.bytes);
            if (pass.compact & bit(sid)) {
                const bool name_table = pass.table_named[sid] != table_.version();
                if (!room(sid, lane, 1 + (name_table ? 1 + per_tick : 0), remaining)) {
                    drop_list(pass, sid, words);
                    continue;
                }
                if (name_table) {
                    lane.data[lane.used++] = SIDWord{compact::pack(tick_bytes, per_tick), compact::TABLE};
                    for (const int32_t position : positions) lane.data[lane.used++] = SIDWord{0, position};
                    pass.extra[sid] -= 1 + int64_t{per_tick};
                    pass.table_named[sid] = table_.version();
                }
                lane.data[lane.used++] = SIDWord{compact::pack(first, ticks), compact::RUN};
                pass.extra[sid] += static_cast<int64_t>(words) - 1;
            } else {
                // The per-word form, for subscribers outside the library.
                if (!room(sid, lane, words, remaining)) {
                    drop_list(pass, sid, words);
                    continue;
                }
                for (uint32_t t = 0; t < ticks; ++t) {
                    const uint32_t offset = first + t * tick_bytes;
                    const uint64_t timestamp = compact::timestamp_at(pass.bytes + offset);
                    for (const int32_t position : positions) {
                        lane.data[lane.used++] = SIDWord{timestamp, static_cast<int>(offset + static_cast<uint32_t>(position))};
                    }
                }
            }
        }
        return at;
    }

    // Room for `need` more entries in the list of `sid`, with `remaining`
    // words left in the buffer: grows it by at least half as much again as
    // it holds, never by more than the buffer can still fill. False when the
    // allocation fails.
    bool room(unsigned sid, Lane& lane, uint64_t need, uint64_t remaining) noexcept {
        if (uint64_t{lane.size} - lane.used >= need) return true;
        auto& list = lists_[sid];
        const uint64_t wanted = uint64_t{lane.used} + need + std::min<uint64_t>(lane.size / 2 + MIN_LIST_WORDS, remaining);
        try {
            list.resize(wanted);
        } catch (const std::bad_alloc&) {
            return false;
        }
        lane.data = list.data();
        lane.size = static_cast<uint32_t>(list.size());
        return true;
    }

    // The list of `sid` is full and `remaining` words (this one included) are
    // left in the buffer: doubles the list (at least MIN_LIST_WORDS), never
    // past what the buffer can still fill, and points the lane at it. False
    // when the allocation fails (the list keeps what it had).
    bool grow(unsigned sid, Lane& lane, uint64_t remaining) noexcept {
        auto& list = lists_[sid];
        const std::size_t more = std::min<uint64_t>(std::max<std::size_t>(lane.size, MIN_LIST_WORDS), remaining);
        try {
            list.resize(std::size_t{lane.size} + more);
        } catch (const std::bad_alloc&) {
            return false;
        }
        lane.data = list.data();
        lane.size = static_cast<uint32_t>(list.size());
        return true;
    }

    static constexpr std::size_t MIN_LIST_WORDS = 1024;

    DataStreamCoordinator& owner_;
    std::array<std::shared_ptr<SIDQueue>, SID_COUNT> queues_{};
    uint64_t last_timestamp_ = 0;
    std::array<uint64_t, SID_COUNT> expected_row_counter_{};
    std::array<uint64_t, SID_COUNT> high_water_mark_{};
    std::array<Clock::time_point, SID_COUNT> last_seen_{};
    uint16_t adopted_mask_ = 0;
    uint16_t counting_mask_ = 0;  // SIDs seen since subscribed or reset: their gaps are counted as losses
    uint16_t stale_mask_ = 0;
    std::array<std::vector<SIDWord>, SID_COUNT> lists_{};  // the lists under construction, or empty
    std::shared_ptr<WordListPool> pool_ = owner_.word_lists;
    std::array<Discontinuity, SID_COUNT> discontinuities_{};
    TickTable table_;  // the stream's tick, as last learnt
};

DataStreamCoordinator::DataStreamCoordinator() {
    running.store(true);
    runner = std::thread([this] {
        name_this_thread("pelionp-demux");
        run();
    });
}

DataStreamCoordinator::~DataStreamCoordinator() {
    {
        std::unique_lock lock(state_mutex);
        running.store(false);
        applied_cv.notify_all();
        // NB: a released control call still has to leave wait_applied (take
        // the mutex, read the sequence); the members it touches must outlive
        // that, so the destructor waits for it.
        applied_cv.wait(lock, [this] { return waiting_callers == 0; });
    }
    control_queue.wake();
    runner.join();
    // The buffers the runner never reached hand back their part of the budget.
    ControlItem item;
    while (control_queue.try_dequeue(item)) {
        if (const auto* buffer = std::get_if<DataBuffer>(&item)) data_path_budget().credit(charge_of(buffer->first));
    }
}

void DataStreamCoordinator::run() { Runner(*this).run(); }

void DataStreamCoordinator::push_buffer(DataBuffer buffer) {
    // NB: word offsets travel as 32-bit signed values, so a buffer must stay
    // below 2 GiB; devices deliver at most a few MiB at a time.
    if (!buffer.second || buffer.first == 0 || buffer.first % STREAM_WORD_BYTES != 0 ||
        buffer.first > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
        throw std::runtime_error("Buffer must contain at least 16 byte and be divisible by 16");
    }
    std::lock_guard lock(enqueue_mutex);
    const uint64_t depth = control_queue.size_approx();
    if (depth > main_queue_high_water_mark) {
        spdlog::debug("Main demux queue high water mark : {}", depth);
        main_queue_high_water_mark = depth;
    }
    // NB: once per episode, not per buffer: a backlog grows at buffer rate,
    // and a warning per buffer would bury everything else in the log.
    if (depth > QUEUE_WARN_DEPTH && !keep_up_warned) {
        spdlog::warn("System might not be able to keep up: queued {} elements", depth);
        keep_up_warned = true;
    } else if (depth <= QUEUE_WARN_DEPTH / 2) {
        keep_up_warned = false;
    }
    const std::size_t charged = charge_of(buffer.first);
    if (refuse_locked(depth, charged, buffer.first)) {
        RefusedWords refused;
        for (uint64_t at = 0; at < buffer.first; at += STREAM_WORD_BYTES) {
            const uint8_t* word = buffer.second.get() + at;
            const unsigned sid = word[0] & 0x0Fu;
            if (!(refused.seen & bit(sid))) refused.first[sid] = word[1];
            refused.seen |= bit(sid);
            refused.last[sid] = word[1];
            ++refused.words[sid];
            if (sid == TIMESTAMP_SID) refused.timestamp = load_le64(word + STREAM_PAYLOAD_OFFSET);
        }
        // NB: a failed allocation loses the count too; the next buffer then
        // shows the gap as words lost on the wire.
        (void)control_queue.enqueue(ControlItem{std::in_place_index<2>, refused});
        return;  // the newest buffer is freed here
    }
    // A failed allocation leaves the buffer here, where it is freed.
    data_path_budget().charge(charged);
    backlog_bytes.fetch_add(charged, std::memory_order_relaxed);
    if (!control_queue.enqueue(ControlItem{std::in_place_index<1>, std::move(buffer)})) {
        backlog_bytes.fetch_sub(charged, std::memory_order_relaxed);
        data_path_budget().credit(charged);
    }
}

bool DataStreamCoordinator::refuse_locked(uint64_t depth, std::size_t charge, uint64_t length) {
    // NB: the bound follows the host's budget limit; half of it is left for
    // what the streams hold downstream. An episode ends only below half the
    // bound, so a runner that stays behind makes one episode, not many.
    const std::size_t bound = data_path_budget().limit() / 2;
    const std::size_t backlog = backlog_bytes.load(std::memory_order_relaxed) + charge;
    const bool over = refusing ? backlog > bound / 2 || depth >= MAX_QUEUED_BUFFERS / 2
                               : backlog > bound || depth >= MAX_QUEUED_BUFFERS;
    if (!over) {
        if (refusing) {
            refusing = false;
            spdlog::info("Demultiplexer caught up: {} device buffers ({} words) were dropped while it was behind",
                         std::exchange(episode_refused_buffers, 0), std::exchange(episode_refused_words, 0));
        }
        return false;
    }
    const uint64_t words = length / STREAM_WORD_BYTES;
    refused_buffers.fetch_add(1, std::memory_order_relaxed);
    refused_words.fetch_add(words, std::memory_order_relaxed);
    ++episode_refused_buffers;
    episode_refused_words += words;
    if (!refusing) {
        refusing = true;
        spdlog::warn("Demultiplexer falling behind ({} items, {} KiB queued): dropping the newest device buffers",
                     depth, (backlog - charge) >> 10);
    }
    return true;
}

std::expected<DataStreamCoordinator::SubscribeEvent, std::string> DataStreamCoordinator::push_subscription(
    SubscribeEvent event) {
    const unsigned sid = to_underlying(event.sid);
    if (!event.queue) {
        return std::unexpected(fmt::format("Cannot subscribe SID {} with a null queue", sid));
    }
    if (event.sid == SID::TIMESTAMP) {
        return std::unexpected(fmt::format(
            "SID {} is the timestamp stream and is consumed internally; it cannot be subscribed", sid));
    }
    if (auto in_range = check_range(event.sid); !in_range) {
        return std::unexpected(in_range.error());
    }
    std::unique_lock lock(state_mutex);
    // An abandoned queue may be replaced even before the runner has noticed.
    if (!abandoned_approx(subscriptions[sid])) {
        return std::unexpected(fmt::format("Queue already exists for SID {}", sid));
    }
    auto applied = enqueue_control_and_wait(SubscribeEvent{event.sid, event.queue}, lock,
                                            "Failed to enqueue demux subscription");
    if (!applied) {
        return std::unexpected(applied.error());
    }
    return event;
}

std::expected<DataStreamCoordinator::SubscribeEvent, std::string> DataStreamCoordinator::unsubscribe(SID sid) {
    if (auto in_range = check_range(sid); !in_range) {
        return std::unexpected(in_range.error());
    }
    std::unique_lock lock(state_mutex);
    std::shared_ptr<SIDQueue> old = subscriptions[to_underlying(sid)].lock();
    auto applied = enqueue_control_and_wait(SubscribeEvent{sid, nullptr}, lock,
                                            "Failed to enqueue demux unsubscription");
    if (!applied) {
        return std::unexpected(applied.error());
    }
    return SubscribeEvent{sid, std::move(old)};
}

std::expected<void, std::string> DataStreamCoordinator::reset() {
    std::unique_lock lock(state_mutex);
    return enqueue_control_and_wait(std::nullopt, lock, "Failed to enqueue demux reset");
}

std::expected<void, std::string> DataStreamCoordinator::enqueue_control_and_wait(
    std::optional<SubscribeEvent> subscription, std::unique_lock<std::mutex>& lock, const char* failure) {
    const uint64_t sequence = requested_sequence + 1;
    std::optional<std::pair<unsigned, std::weak_ptr<SIDQueue>>> record;
    if (subscription) {
        record.emplace(to_underlying(subscription->sid), subscription->queue);
    }
    {
        std::lock_guard enqueue_lock(enqueue_mutex);
        if (!control_queue.enqueue(ControlItem{std::in_place_index<0>, ControlEvent{std::move(subscription), sequence}})) {
            return std::unexpected(failure);
        }
    }
    if (record) {
        subscriptions[record->first] = std::move(record->second);
    }
    requested_sequence = sequence;
    return wait_applied(sequence, lock);
}

std::expected<void, std::string> DataStreamCoordinator::wait_applied(uint64_t sequence,
                                                                     std::unique_lock<std::mutex>& lock) {
    ++waiting_callers;
    while (applied_sequence < sequence) {
        if (!running.load()) {
            break;
        }
        applied_cv.wait(lock);
    }
    if (--waiting_callers == 0 && !running.load()) {
        applied_cv.notify_all();  // the destructor waits for the last caller
    }
    if (applied_sequence < sequence) {
        return std::unexpected("Demux runner stopped before applying the change");
    }
    return {};
}

}  // namespace pelionp::demux
