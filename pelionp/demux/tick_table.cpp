#include "pelionp/demux/tick_table.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelionp::demux {
namespace {

uint16_t header_of(const uint8_t* word) noexcept { return static_cast<uint16_t>(word[0] | (word[1] << 8)); }

}  // namespace

bool match_tick_scalar(const uint8_t* tick, uint16_t* expected, const uint16_t* step, std::size_t n) noexcept {
    uint32_t differs = 0;
    for (std::size_t i = 0; i < n; ++i) {
        differs |= static_cast<uint32_t>(header_of(tick + 16 * i) ^ expected[i]);
        expected[i] = static_cast<uint16_t>(expected[i] + step[i]);
    }
    return differs == 0;
}

bool match_tick(const uint8_t* tick, uint16_t* expected, const uint16_t* step, std::size_t n) noexcept {
#if defined(__SSE2__)
    // Eight words a round: their first 16 bits gathered into one register
    // by three rounds of unpacks, compared at once; the verdict is read once
    // per tick, after the last round.
    std::size_t i = 0;
    __m128i same = _mm_set1_epi32(-1);
    for (; i + 8 <= n; i += 8) {
        const uint8_t* w = tick + 16 * i;
        const auto load = [w](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16 * k)); };
        const __m128i w01 = _mm_unpacklo_epi16(load(0), load(1));
        const __m128i w23 = _mm_unpacklo_epi16(load(2), load(3));
        const __m128i w45 = _mm_unpacklo_epi16(load(4), load(5));
        const __m128i w67 = _mm_unpacklo_epi16(load(6), load(7));
        const __m128i headers =
            _mm_unpacklo_epi64(_mm_unpacklo_epi32(w01, w23), _mm_unpacklo_epi32(w45, w67));
        auto* at = reinterpret_cast<__m128i*>(expected + i);
        const __m128i want = _mm_loadu_si128(at);
        same = _mm_and_si128(same, _mm_cmpeq_epi16(headers, want));
        _mm_storeu_si128(at, _mm_add_epi16(want, _mm_loadu_si128(reinterpret_cast<const __m128i*>(step + i))));
    }
    const bool tail = match_tick_scalar(tick + 16 * i, expected + i, step + i, n - i);
    return tail && _mm_movemask_epi8(same) == 0xFFFF;
#else
    return match_tick_scalar(tick, expected, step, n);
#endif
}

TickTable::TickTable()
    : firsts_(MAX_TICK_WORDS), expected_(MAX_TICK_WORDS), step_(MAX_TICK_WORDS), positions_(MAX_TICK_WORDS) {}

bool TickTable::learn(const uint8_t* tick, std::size_t n) {
    if (n == 0 || n > MAX_TICK_WORDS) {
        if (words_ == 0) return false;
        words_ = 0;
        ++version_;
        return true;
    }
    if (n == words_) {
        bool same = true;
        for (std::size_t i = 0; i < n && same; ++i) same = tick[16 * i] == firsts_[i];
        if (same) return false;
    }
    words_ = n;
    ++version_;
    std::array<uint32_t, SID_COUNT> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        firsts_[i] = tick[16 * i];
        ++counts[firsts_[i] & 0x0Fu];
    }
    begin_[0] = 0;
    for (unsigned sid = 0; sid < SID_COUNT; ++sid) begin_[sid + 1] = begin_[sid] + counts[sid];
    std::array<uint32_t, SID_COUNT> next{};
    std::copy_n(begin_.begin(), SID_COUNT, next.begin());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned sid = firsts_[i] & 0x0Fu;
        positions_[next[sid]++] = static_cast<int32_t>(16 * i);
        step_[i] = static_cast<uint16_t>(counts[sid] << 8);
    }
    return true;
}

void TickTable::expect(const std::array<uint64_t, SID_COUNT>& counters) noexcept {
    std::array<uint8_t, SID_COUNT> next{};
    for (unsigned sid = 0; sid < SID_COUNT; ++sid) next[sid] = static_cast<uint8_t>(counters[sid]);
    for (std::size_t i = 0; i < words_; ++i) {
        const unsigned sid = firsts_[i] & 0x0Fu;
        expected_[i] = static_cast<uint16_t>(firsts_[i] | (next[sid]++ << 8));
    }
}

}  // namespace pelionp::demux
