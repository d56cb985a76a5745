#pragma once
// What the service tells its clients without being asked: state changes,
// warnings and errors, each numbered, kept in a short history so that a
// client that reconnects (Last-Event-ID) misses nothing recent.
//
// Threading: `publish`, `after` and `close` from any thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pelionp::service {

struct Event {
  uint64_t id = 0;
  std::string type;  // "state", "warning", "error", "recording"
  nlohmann::json data;
};

class EventHub {
 public:
  explicit EventHub(std::size_t history = 256) : history_(history) {}

  void publish(std::string type, nlohmann::json data);
  // The events after `id`, waiting up to `timeout` for one; none once closed.
  std::vector<Event> after(uint64_t id, std::chrono::milliseconds timeout);
  // Ends every wait; later waits return at once.
  void close();
  bool closed() const;
  uint64_t last_id() const;

 private:
  const std::size_t history_;
  mutable std::mutex mutex_;
  std::condition_variable published_;
  std::deque<Event> events_;
  uint64_t next_id_ = 1;
  bool closed_ = false;
};

}  // namespace pelionp::service
