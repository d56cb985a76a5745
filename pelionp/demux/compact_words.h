#pragma once
// The compact form of one SID's words in one device buffer, which the
// demultiplexer hands to the library's own decoder workers instead of one
// {timestamp, offset} entry per word.
//
// Most of a stream repeats tick by tick: a timestamp word, then the same
// sequence of SIDs until the next one. The runner learns that sequence (a
// tick table) and, for every tick whose word headers match it, writes
// nothing per word: a run of matching ticks is one entry, and the table's
// offsets of a SID's words within a tick go once per list. Words outside a
// matching tick (a buffer cut mid-tick, a lost or extra word, a counter
// jump) travel as ordinary {timestamp, offset} entries, in stream order
// between the runs.
//
// Layout, in the same recycled list storage as the per-word form (so the
// pool, the byte budget and the queue are unchanged); the markers' offsets
// are negative, which no word's offset is:
//   {words the list stands for, HEADER}       first entry, only there
//   {tick bytes | positions << 32, TABLE}     then `positions` entries
//                                             {0, offset of the word in the tick}
//   {offset of the first tick | ticks << 32, RUN}
//                                             ticks back to back, each
//                                             beginning with its timestamp word
//   {timestamp, offset}                       one word
// A RUN uses the last TABLE before it. Every word of a run carries the
// timestamp of its tick's timestamp word, as the per-word form does.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "pelionp/demux/sid_queue.h"

namespace pelionp::demux {

namespace compact {

inline constexpr int HEADER = -1;
inline constexpr int TABLE = -2;
inline constexpr int RUN = -3;
/// Words a run is expanded into at once for a decoder that takes word lists.
inline constexpr std::size_t EXPAND_BATCH = 512;

constexpr uint64_t pack(uint32_t low, uint32_t high) noexcept { return uint64_t{low} | (uint64_t{high} << 32); }
constexpr uint32_t low_of(uint64_t packed) noexcept { return static_cast<uint32_t>(packed); }
constexpr uint32_t high_of(uint64_t packed) noexcept { return static_cast<uint32_t>(packed >> 32); }

inline uint64_t timestamp_at(const uint8_t* timestamp_word) noexcept {
    uint64_t v;
    std::memcpy(&v, timestamp_word + STREAM_PAYLOAD_OFFSET, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

}  // namespace compact

/// Whether `list` is in the compact form.
inline bool is_compact(std::span<const SIDWord> list) noexcept {
    return !list.empty() && list.front().second == compact::HEADER;
}

/// The words `list` stands for, in either form.
inline uint64_t words_in(std::span<const SIDWord> list) noexcept {
    return is_compact(list) ? list.front().first : list.size();
}

/// Calls `on_words(std::span<const SIDWord>)` with the words of `list`, in
/// stream order, as per-word entries: a per-word list whole, a compact
/// list's single words in place and its runs expanded into `scratch`, whole
/// ticks at a time (about EXPAND_BATCH words). `buffer` is the device buffer
/// the list names.
template <class OnWords>
void for_each_words(std::span<const SIDWord> list, const uint8_t* buffer, std::vector<SIDWord>& scratch,
                    OnWords&& on_words) {
    if (!is_compact(list)) {
        if (!list.empty()) on_words(list);
        return;
    }
    std::span<const SIDWord> table;
    uint32_t tick_bytes = 0;
    std::size_t i = 1;
    while (i < list.size()) {
        const auto [value, kind] = list[i];
        if (kind >= 0) {
            std::size_t j = i + 1;
            while (j < list.size() && list[j].second >= 0) ++j;
            on_words(list.subspan(i, j - i));
            i = j;
        } else if (kind == compact::TABLE) {
            tick_bytes = compact::low_of(value);
            const std::size_t positions = std::min<std::size_t>(compact::high_of(value), list.size() - i - 1);
            table = list.subspan(i + 1, positions);
            i += 1 + positions;
        } else {
            // A RUN (nothing else is written).
            if (!table.empty()) {
                const uint32_t first = compact::low_of(value);
                const uint32_t ticks = compact::high_of(value);
                const std::size_t per_batch = std::max<std::size_t>(1, compact::EXPAND_BATCH / table.size());
                scratch.resize(per_batch * table.size());
                for (uint32_t t = 0; t < ticks;) {
                    const uint32_t batch = static_cast<uint32_t>(std::min<std::size_t>(per_batch, ticks - t));
                    SIDWord* out = scratch.data();
                    for (uint32_t b = 0; b < batch; ++b, ++t) {
                        const uint64_t tick = uint64_t{first} + uint64_t{t} * tick_bytes;
                        const uint64_t timestamp = compact::timestamp_at(buffer + tick);
                        for (const auto& position : table) {
                            *out++ = SIDWord{timestamp, static_cast<int>(tick + static_cast<uint32_t>(position.second))};
                        }
                    }
                    on_words(std::span<const SIDWord>(scratch.data(), static_cast<std::size_t>(out - scratch.data())));
                }
            }
            ++i;
        }
    }
}

}  // namespace pelionp::demux
