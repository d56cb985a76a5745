#include "pelionp/demux/byte_budget.h"

#include <spdlog/spdlog.h>

namespace pelionp::demux {

bool ByteBudget::over() noexcept {
    const std::size_t used = used_approx();
    const std::size_t limit = limit_.load(std::memory_order_relaxed);
    bool in_episode = episode_.load(std::memory_order_relaxed);
    // NB: an episode ends only below half the limit, so that a stalled host
    // makes one episode however the buffers in flight come and go.
    const bool now = in_episode ? used > limit / 2 : used > limit;
    if (now != in_episode && episode_.compare_exchange_strong(in_episode, now)) {
        try {
            if (now) {
                episodes_.fetch_add(1, std::memory_order_relaxed);
                spdlog::warn("Data path over its byte budget ({} MiB held, limit {} MiB): dropping the newest data",
                             used >> 20, limit >> 20);
            } else {
                spdlog::info("Data path back within its byte budget ({} MiB held)", used >> 20);
            }
        } catch (...) {
            // NB: a log line that cannot be formatted is lost; the decision stands.
        }
    }
    return now;
}

ByteBudget& data_path_budget() noexcept {
    static ByteBudget budget;
    return budget;
}

}  // namespace pelionp::demux
