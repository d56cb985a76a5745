#pragma once
// WordListPool: recycles the word lists of SIDQueue entries, so that the
// demux runner fills the same memory buffer after buffer instead of
// allocating (and page-faulting in) about 16 bytes per word every time.
//
// A list travels runner -> SID queue -> worker -> pool -> runner. Every shared
// buffer the coordinator hands out carries its pool in its deleter, so a
// consumer finds the way back from the entry alone: `release_entry`. An entry
// built elsewhere (a plain shared buffer) is simply dropped.
//
// Threading contract: `take`, `give_back` and `release_entry` may be called
// from any thread; the pool's one mutex is held only to move a vector in or
// out. A list is in exactly one place at a time: the pool never hands out a
// list a consumer still holds, because the consumer gives it up (moves it in)
// before the pool can hand it out again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "pelionp/demux/sid_queue.h"
#include "pelionp/export.h"

namespace pelionp::demux {

class PELIONP_API WordListPool {
public:
    /// Idle lists kept at most; more are freed on return. NB: 16 SIDs times
    /// 8 buffers in flight, so a consumer that lags a few buffers still finds
    /// its lists again.
    static constexpr std::size_t MAX_IDLE_LISTS = 128;
    /// Storage the idle lists may hold together. NB: the count alone does
    /// not bound it: after a backlog every idle list can hold a whole
    /// buffer's words (1 MiB for a 1 MiB buffer of one SID).
    static constexpr std::size_t MAX_IDLE_BYTES = std::size_t{16} << 20;
    /// A list with more capacity than this (the words of a 1 MiB buffer) is
    /// freed on return rather than kept.
    static constexpr std::size_t MAX_KEPT_LIST_WORDS = (std::size_t{1} << 20) / 16;

    WordListPool();
    WordListPool(const WordListPool&) = delete;
    WordListPool& operator=(const WordListPool&) = delete;

    /// A list to fill: a returned one, with its capacity and its stale
    /// contents (the filler overwrites them), or a new empty one.
    [[nodiscard]] std::vector<SIDWord> take();
    /// Keeps `list` for a later `take`; frees it instead when it has no
    /// capacity, more than MAX_KEPT_LIST_WORDS, or would take the idle lists
    /// past MAX_IDLE_LISTS or MAX_IDLE_BYTES.
    void give_back(std::vector<SIDWord>&& list) noexcept;

    [[nodiscard]] std::size_t idle_approx() const;
    /// Bytes of storage the idle lists hold.
    [[nodiscard]] std::size_t idle_bytes_approx() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<SIDWord>> idle_;  // reserved up front: give_back never allocates
    std::size_t idle_bytes_ = 0;
};

/// The deleter of a shared buffer whose entries' lists go back to `pool`.
/// Credits `charged` bytes back to the data path's budget as it frees.
struct PELIONP_API PooledBufferRelease {
    void (*release)(uint8_t*);
    std::shared_ptr<WordListPool> pool;
    std::size_t charged = 0;
    void operator()(uint8_t* bytes) const noexcept;
};

/// Wraps a device buffer for sharing between subscribers; it is freed with
/// its own release function when the last holder lets go, and the `charged`
/// bytes it held of the data path's budget are credited back then.
PELIONP_API std::shared_ptr<uint8_t[]> share_buffer(std::unique_ptr<uint8_t[], void (*)(uint8_t*)> bytes,
                                                    std::shared_ptr<WordListPool> pool, std::size_t charged = 0);

/// What a consumer does with an entry it is done with: the word list goes
/// back to the pool of the coordinator that made it, the entry's reference
/// to the buffer is dropped (the last one frees it) and `entry` is left
/// empty.
PELIONP_API void release_entry(SIDQueueEntry& entry) noexcept;

}  // namespace pelionp::demux
