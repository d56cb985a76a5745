#include "tests/support/log_capture.h"

#include <algorithm>
#include <condition_variable>
#include <ostream>

#include <spdlog/sinks/base_sink.h>

namespace pelionp::test {

std::ostream& operator<<(std::ostream& os, const LogRecord& record) {
    return os << spdlog::level::to_string_view(record.level).data() << ": " << record.text;
}

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogRecord> snapshot() {
        std::lock_guard lock(records_mutex_);
        return records_;
    }
    void clear() {
        std::lock_guard lock(records_mutex_);
        records_.clear();
    }
    template <typename Pred>
    bool wait(Pred pred, std::chrono::milliseconds deadline) {
        std::unique_lock lock(records_mutex_);
        return arrived_.wait_for(lock, deadline, [&] { return std::ranges::any_of(records_, pred); });
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        {
            std::lock_guard lock(records_mutex_);
            records_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        arrived_.notify_all();
    }
    void flush_() override {}

private:
    std::mutex records_mutex_;
    std::condition_variable arrived_;
    std::vector<LogRecord> records_;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()), previous_level_(spdlog::default_logger()->level()) {
    auto logger = spdlog::default_logger();
    logger->sinks().push_back(sink_);
    logger->set_level(spdlog::level::trace);
}

LogCapture::~LogCapture() {
    auto logger = spdlog::default_logger();
    auto& sinks = logger->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    logger->set_level(previous_level_);
}

void LogCapture::force_level(spdlog::level::level_enum level) { spdlog::default_logger()->set_level(level); }

std::vector<LogRecord> LogCapture::records() const { return sink_->snapshot(); }

std::vector<std::string> LogCapture::at(spdlog::level::level_enum level) const {
    std::vector<std::string> out;
    for (auto& r : sink_->snapshot())
        if (r.level == level) out.push_back(r.text);
    return out;
}

bool LogCapture::contains(spdlog::level::level_enum level, const std::string& text) const {
    const auto all = sink_->snapshot();
    return std::ranges::find(all, LogRecord{level, text}) != all.end();
}

std::size_t LogCapture::count_containing(const std::string& needle) const {
    const auto all = sink_->snapshot();
    return static_cast<std::size_t>(
        std::ranges::count_if(all, [&](const LogRecord& r) { return r.text.find(needle) != std::string::npos; }));
}

bool LogCapture::wait_for(spdlog::level::level_enum level, const std::string& text,
                          std::chrono::milliseconds deadline) const {
    return sink_->wait([&](const LogRecord& r) { return r.level == level && r.text == text; }, deadline);
}

void LogCapture::clear() { sink_->clear(); }

}  // namespace pelionp::test
