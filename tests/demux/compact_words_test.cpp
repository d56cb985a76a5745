// The compact word lists of the library's workers against the per-word lists
// of outside subscribers and a plain reference split of the same buffers:
// the same words, timestamps and losses for both word orders, buffers cut
// anywhere and ticks that break the learnt table.
#include "pelionp/demux/compact_words.h"

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "pelionp/demux/data_stream_coordinator.h"
#include "pelionp/demux/tick_table.h"
#include "sim/stream_encoders.h"
#include "tests/demux/raw_words.h"

namespace pelionp::demux {
namespace {

constexpr std::array<unsigned, 5> SIDS = {0, 5, 8, 9, 12};

struct Taken {
    uint64_t timestamp;
    std::size_t buffer;
    int offset;
    friend bool operator==(const Taken&, const Taken&) = default;
};

struct Split {
    std::map<unsigned, std::vector<Taken>> words;
    std::map<unsigned, uint64_t> wire_losses;
};

// What every subscriber must get: each word of its SID with the last
// timestamp before it, and the row-counter gaps after its first word.
Split reference_split(const std::vector<std::vector<uint8_t>>& buffers) {
    Split out;
    uint64_t timestamp = 0;
    std::map<unsigned, uint8_t> next;
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        for (std::size_t at = 0; at < buffers[b].size(); at += 16) {
            const uint8_t* word = buffers[b].data() + at;
            const unsigned sid = word[0] & 0x0Fu;
            if (auto it = next.find(sid); it != next.end()) {
                out.wire_losses[sid] += static_cast<uint8_t>(word[1] - it->second);
            }
            next[sid] = static_cast<uint8_t>(word[1] + 1);
            if (sid == 4) {
                std::memcpy(&timestamp, word + 2, 8);
            } else {
                out.words[sid].push_back({timestamp, b, static_cast<int>(at)});
            }
        }
    }
    return out;
}

// The same buffers through a coordinator whose subscribers take `form`.
Split split_by_coordinator(const std::vector<std::vector<uint8_t>>& buffers, WordForm form) {
    DataStreamCoordinator c;
    std::map<unsigned, std::shared_ptr<SIDQueue>> queues;
    for (unsigned sid : SIDS) {
        queues[sid] = make_sid_queue(form);
        EXPECT_TRUE(c.push_subscription({SID{sid}, queues[sid]}).has_value());
    }
    std::map<const uint8_t*, std::size_t> index_of;
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        auto buffer = test::device_buffer(buffers[b]);
        index_of[buffer.second.get()] = b;
        c.push_buffer(std::move(buffer));
    }
    EXPECT_TRUE(c.unsubscribe(SID{6}).has_value());  // returns once every buffer is demultiplexed
    Split out;
    std::vector<SIDQueueEntry> held;  // keeps the buffers, so their addresses stay unique
    std::vector<SIDWord> scratch;
    for (auto& [sid, queue] : queues) {
        SIDQueueEntry entry;
        while (queue->try_dequeue(entry)) {
            const auto& [list, length, buffer] = entry;
            EXPECT_EQ(is_compact(list), form == WordForm::compact && words_in(list) > 0);
            const std::size_t b = index_of.at(buffer.get());
            std::size_t expanded = 0;
            for_each_words(list, buffer.get(), scratch, [&](std::span<const SIDWord> words) {
                for (const auto& [timestamp, offset] : words) out.words[sid].push_back({timestamp, b, offset});
                expanded += words.size();
            });
            EXPECT_EQ(expanded, words_in(list)) << "SID " << sid << ", buffer " << b;
            held.push_back(std::move(entry));
        }
        out.wire_losses[sid] = queue->losses.wire_words.load();
    }
    return out;
}

enum class Order { interleaved, runs };
enum class Fault { none, lost_word, counter_jump, extra_word };

// Ticks of timestamps, one NP1 probe, the IO stream and three NP2 probes,
// with `fault` in tick 37 and tick 300.
std::vector<uint8_t> board_stream(Order order, Fault fault, std::size_t ticks) {
    sim::TimestampEncoder timestamps(1000, 1);
    sim::NP1Encoder np1(0, {[](uint64_t g, int c) { return static_cast<uint16_t>((g + c) & 0x3FF); },
                            [](uint64_t s, int c) { return static_cast<uint16_t>((s * 3 + c) & 0x3FF); }});
    sim::IOEncoder io([](uint64_t frame) { return sim::IOFrameContent{.value_u64 = frame}; });
    sim::NP2Encoder a(8, {[](uint64_t s, int c) { return static_cast<uint16_t>((s + 7 * c) & 0xFFF); }});
    sim::NP2Encoder b(9, {[](uint64_t s, int c) { return static_cast<uint16_t>((s + 5 * c) & 0xFFF); }});
    sim::NP2Encoder d(12, {[](uint64_t s, int c) { return static_cast<uint16_t>((s + 3 * c) & 0xFFF); }});
    std::vector<sim::WordSource*> sources = {&np1, &io, &a, &b, &d};
    sim::StreamInterleaver interleaved(timestamps);
    for (auto* s : sources) interleaved.add(*s);
    std::vector<uint8_t> out;
    for (std::size_t t = 0; t < ticks; ++t) {
        const std::size_t start = out.size();
        if (order == Order::interleaved) {
            interleaved.append_tick(out);
        } else {
            timestamps.append(out);
            for (auto* s : sources) {
                for (std::size_t w = 0; w < s->words_per_tick(); ++w) s->append_word(out);
            }
        }
        if (t != 37 && t != 300) continue;
        const std::size_t victim = start + 16 * 150;  // a word well inside the tick
        switch (fault) {
            case Fault::none: break;
            case Fault::lost_word: out.erase(out.begin() + static_cast<std::ptrdiff_t>(victim), out.begin() + static_cast<std::ptrdiff_t>(victim + 16)); break;
            case Fault::counter_jump: out[victim + 1] = static_cast<uint8_t>(out[victim + 1] + 9); break;
            case Fault::extra_word: {
                const std::vector<uint8_t> copy(out.begin() + static_cast<std::ptrdiff_t>(victim), out.begin() + static_cast<std::ptrdiff_t>(victim + 16));
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(victim), copy.begin(), copy.end());
                break;
            }
        }
    }
    return out;
}

// Device buffers as the simulated board cuts them with a seed: 1 to about
// two buffers' worth of words each; seed 0 cuts every `whole` bytes.
std::vector<std::vector<uint8_t>> cut(const std::vector<uint8_t>& stream, uint32_t seed, std::size_t whole) {
    std::vector<std::vector<uint8_t>> out;
    std::mt19937 cuts(seed);
    std::uniform_int_distribution<std::size_t> words(1, 2 * whole / 16);
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = std::min(stream.size() - at, seed == 0 ? whole : 16 * words(cuts));
        out.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    return out;
}

TEST(CompactWords, GiveTheWordsAndLossesOfThePerWordListsAndOfAReferenceSplit) {
    const std::size_t tick_bytes = 16 * (1 + 65 + 6 + 3 * 48);
    for (Order order : {Order::interleaved, Order::runs}) {
        for (Fault fault : {Fault::none, Fault::lost_word, Fault::counter_jump, Fault::extra_word}) {
            const auto stream = board_stream(order, fault, 600);
            for (uint32_t seed : {0u, 1u, 7u}) {
                SCOPED_TRACE(testing::Message() << "order " << static_cast<int>(order) << ", fault "
                                                << static_cast<int>(fault) << ", cut seed " << seed);
                const auto buffers = cut(stream, seed, 30 * tick_bytes);
                Split reference = reference_split(buffers);
                const Split per_word = split_by_coordinator(buffers, WordForm::per_word);
                const Split compact = split_by_coordinator(buffers, WordForm::compact);
                for (unsigned sid : SIDS) {
                    ASSERT_EQ(per_word.words.at(sid), reference.words.at(sid)) << "SID " << sid;
                    ASSERT_EQ(compact.words.at(sid), reference.words.at(sid)) << "SID " << sid;
                    EXPECT_EQ(per_word.wire_losses.at(sid), reference.wire_losses[sid]) << "SID " << sid;
                    EXPECT_EQ(compact.wire_losses.at(sid), reference.wire_losses[sid]) << "SID " << sid;
                }
            }
        }
    }
}

TEST(CompactWords, ATickOfWholeBuffersTravelsAsOneRunPerBuffer) {
    // Whole ticks per buffer: after the first buffer (learnt word by word)
    // every list of an NP2 probe is its header, the table and one run.
    const std::size_t tick_bytes = 16 * (1 + 65 + 6 + 3 * 48);
    const auto buffers = cut(board_stream(Order::runs, Fault::none, 90), 0, 30 * tick_bytes);
    DataStreamCoordinator c;
    auto queue = make_sid_queue(WordForm::compact);
    ASSERT_TRUE(c.push_subscription({SID{9}, queue}).has_value());
    for (const auto& b : buffers) c.push_buffer(test::device_buffer(b));
    ASSERT_TRUE(c.unsubscribe(SID{6}).has_value());
    SIDQueueEntry entry;
    std::vector<std::size_t> entries;
    while (queue->try_dequeue(entry)) {
        entries.push_back(std::get<0>(entry).size());
        EXPECT_EQ(words_in(std::get<0>(entry)), 30u * 48);
    }
    // The first buffer's first tick is learnt word by word, the other 29 run.
    EXPECT_EQ(entries, (std::vector<std::size_t>{1 + 48 + 1 + 48 + 1, 1 + 1 + 48 + 1, 1 + 1 + 48 + 1}));
}

TEST(TickMatch, SseAndScalarPathsAgreeOnEveryMismatchPlace) {
    constexpr std::size_t n = 37;  // not a multiple of eight: both paths' tails
    std::vector<uint8_t> tick(16 * n);
    std::vector<uint16_t> want(n), step(n);
    for (std::size_t i = 0; i < n; ++i) {
        tick[16 * i] = static_cast<uint8_t>(0xD0 | (i % 16));
        tick[16 * i + 1] = static_cast<uint8_t>(250 + i);
        want[i] = static_cast<uint16_t>(tick[16 * i] | (tick[16 * i + 1] << 8));
        step[i] = static_cast<uint16_t>((i % 3 + 1) << 8);
    }
    for (std::size_t wrong = 0; wrong <= n; ++wrong) {
        for (int byte : {0, 1}) {
            auto a = want;
            auto b = want;
            auto bytes = tick;
            if (wrong < n) bytes[16 * wrong + static_cast<std::size_t>(byte)] ^= 0x10;
            EXPECT_EQ(match_tick(bytes.data(), a.data(), step.data(), n), wrong == n) << wrong;
            EXPECT_EQ(match_tick_scalar(bytes.data(), b.data(), step.data(), n), wrong == n) << wrong;
            EXPECT_EQ(a, b) << "the next tick's headers, mismatch at " << wrong;
        }
    }
}

}  // namespace
}  // namespace pelionp::demux
