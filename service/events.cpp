#include "service/events.h"

namespace pelionp::service {

void EventHub::publish(std::string type, nlohmann::json data) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back({.id = next_id_++, .type = std::move(type), .data = std::move(data)});
    while (events_.size() > history_) events_.pop_front();
  }
  published_.notify_all();
}

std::vector<Event> EventHub::after(uint64_t id, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  published_.wait_for(lock, timeout, [&] { return closed_ || next_id_ - 1 > id; });
  std::vector<Event> out;
  if (closed_) return out;
  for (const auto& e : events_)
    if (e.id > id) out.push_back(e);
  return out;
}

void EventHub::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  published_.notify_all();
}

bool EventHub::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

uint64_t EventHub::last_id() const {
  std::lock_guard lock(mutex_);
  return next_id_ - 1;
}

}  // namespace pelionp::service
