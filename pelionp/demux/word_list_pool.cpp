#include "pelionp/demux/word_list_pool.h"

#include "pelionp/demux/byte_budget.h"

namespace pelionp::demux {

WordListPool::WordListPool() { idle_.reserve(MAX_IDLE_LISTS); }

std::vector<SIDWord> WordListPool::take() {
    std::lock_guard lock(mutex_);
    if (idle_.empty()) {
        return {};
    }
    std::vector<SIDWord> list = std::move(idle_.back());
    idle_.pop_back();
    idle_bytes_ -= list.capacity() * sizeof(SIDWord);
    return list;
}

void WordListPool::give_back(std::vector<SIDWord>&& list) noexcept {
    std::vector<SIDWord> surplus;  // freed outside the lock
    {
        std::lock_guard lock(mutex_);
        const std::size_t bytes = list.capacity() * sizeof(SIDWord);
        if (list.capacity() != 0 && list.capacity() <= MAX_KEPT_LIST_WORDS && idle_.size() < MAX_IDLE_LISTS &&
            idle_bytes_ + bytes <= MAX_IDLE_BYTES) {
            idle_bytes_ += bytes;
            idle_.push_back(std::move(list));
            return;
        }
        surplus = std::move(list);
    }
}

std::size_t WordListPool::idle_approx() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::size_t WordListPool::idle_bytes_approx() const {
    std::lock_guard lock(mutex_);
    return idle_bytes_;
}

void PooledBufferRelease::operator()(uint8_t* bytes) const noexcept {
    release(bytes);
    if (charged != 0) data_path_budget().credit(charged);
}

std::shared_ptr<uint8_t[]> share_buffer(std::unique_ptr<uint8_t[], void (*)(uint8_t*)> bytes,
                                        std::shared_ptr<WordListPool> pool, std::size_t charged) {
    const auto release = bytes.get_deleter();
    return {bytes.release(), PooledBufferRelease{release, std::move(pool), charged}};
}

void release_entry(SIDQueueEntry& entry) noexcept {
    auto& [words, length, buffer] = entry;
    if (const auto* release = std::get_deleter<PooledBufferRelease>(buffer); release && release->pool) {
        release->pool->give_back(std::move(words));
    }
    entry = SIDQueueEntry{};
}

}  // namespace pelionp::demux
