#pragma once
// Captures what reaches spdlog's default logger while it lives, so a test
// can assert a message's exact text and level. It lowers the default
// logger's level to trace for its lifetime and restores it afterwards.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

namespace pelionp::test {

struct LogRecord {
    spdlog::level::level_enum level;
    std::string text;

    friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

std::ostream& operator<<(std::ostream& os, const LogRecord& record);

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    /// Records at exactly this level.
    std::vector<std::string> at(spdlog::level::level_enum level) const;
    bool contains(spdlog::level::level_enum level, const std::string& text) const;
    /// Count of records whose text contains `needle`.
    std::size_t count_containing(const std::string& needle) const;
    /// Waits until a record of this level and text arrives or the deadline
    /// passes; for messages logged by other threads.
    bool wait_for(spdlog::level::level_enum level, const std::string& text,
                  std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    void clear();

    /// Makes the capture's sink report at this level even if a library call
    /// changed the global level in between (NPController::create sets info).
    void force_level(spdlog::level::level_enum level);

private:
    class Sink;
    std::shared_ptr<Sink> sink_;
    spdlog::level::level_enum previous_level_;
};

}  // namespace pelionp::test
