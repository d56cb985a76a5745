#pragma once
// FoldedLog: one message that may repeat at buffer rate (a host callback
// that always throws) without flooding the log. The first of a burst goes
// out at once; those that follow within a second are counted, and the next
// one after that second carries "(N more in the last second)".
//
// Threading: none; each logging thread keeps its own.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace pelionp::demux {

class FoldedLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto WINDOW = std::chrono::seconds(1);

    /// The text to log now, or nothing while the message is folded.
    std::optional<std::string> fold(std::string message, Clock::time_point now = Clock::now()) {
        if (window_start_ && now - *window_start_ < WINDOW) {
            ++folded_;
            last_ = std::move(message);
            return std::nullopt;
        }
        window_start_ = now;
        return with_count(std::move(message));
    }

    /// The last folded message with its count, if any were folded since the
    /// last line that went out (for the end of a run).
    std::optional<std::string> flush() {
        if (folded_ == 0) return std::nullopt;
        --folded_;  // the last one is the line itself
        return with_count(std::exchange(last_, std::string()));
    }

private:
    std::string with_count(std::string message) {
        const uint64_t folded = std::exchange(folded_, 0);
        if (folded == 0) return message;
        return fmt::format("{} ({} more in the last second)", message, folded);
    }

    std::optional<Clock::time_point> window_start_;
    uint64_t folded_ = 0;
    std::string last_;
};

}  // namespace pelionp::demux
