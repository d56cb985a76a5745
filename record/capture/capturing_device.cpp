#include "record/capture/capturing_device.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cstddef>
#include <span>
#include <variant>

namespace pelionp::record {

std::expected<std::shared_ptr<CapturingDevice>, std::string> CapturingDevice::create(
    std::shared_ptr<pelio::BasicDevice> inner, const std::filesystem::path& capture, std::size_t max_queued_bytes) {
  auto file = spikeglx::OutputFile::create(capture);
  if (!file) return std::unexpected(file.error());
  return std::shared_ptr<CapturingDevice>(new CapturingDevice(std::move(inner), std::move(*file), max_queued_bytes));
}

CapturingDevice::CapturingDevice(std::shared_ptr<pelio::BasicDevice> inner, spikeglx::OutputFile file,
                                 std::size_t max_queued_bytes)
    : inner_(std::move(inner)), max_queued_bytes_(max_queued_bytes), file_(std::move(file)) {
  writer_ = std::thread([this] { write_queued(); });
}

CapturingDevice::~CapturingDevice() {
  if (auto r = close(); !r) spdlog::error("{}", r.error());
}

auto CapturingDevice::set_register_sync(uint32_t address, uint32_t value, uint32_t mask) -> Status {
  return inner_->set_register_sync(address, value, mask);
}
auto CapturingDevice::set_register(uint32_t address, uint32_t value, uint32_t mask) -> Status {
  return inner_->set_register(address, value, mask);
}
auto CapturingDevice::send_registers() -> Status { return inner_->send_registers(); }
std::optional<uint32_t> CapturingDevice::get_register_sync(uint32_t address) { return inner_->get_register_sync(address); }
uint32_t CapturingDevice::get_register(uint32_t address) { return inner_->get_register(address); }
auto CapturingDevice::fetch_registers() -> Status { return inner_->fetch_registers(); }
auto CapturingDevice::trigger(uint32_t address, int bit) -> Status { return inner_->trigger(address, bit); }
std::size_t CapturingDevice::write(uint32_t pipe, std::size_t length, const uint8_t* data) {
  return inner_->write(pipe, length, data);
}
std::size_t CapturingDevice::read(uint32_t pipe, std::size_t length, uint8_t* buffer) {
  return inner_->read(pipe, length, buffer);
}
std::expected<std::string, std::string> CapturingDevice::get_status() { return inner_->get_status(); }
std::string CapturingDevice::get_info() { return inner_->get_info(); }

std::unique_ptr<CapturingDevice::DataStream> CapturingDevice::start_read_stream(uint32_t address,
                                                                                StreamCallback callback, int word) {
  auto tee = [this, forward = std::move(callback)](pelio::DataStream::Events&& event) mutable {
    if (const auto* owned = std::get_if<pelio::DataStream::OwnedData>(&event)) {
      capture(owned->data(), owned->size());
    } else if (const auto* view = std::get_if<pelio::DataStream::DataView>(&event)) {
      capture(view->data, view->size);
    }
    forward(std::move(event));
  };
  return inner_->start_read_stream(address, std::move(tee), word);
}

void CapturingDevice::capture(const uint8_t* data, std::size_t size) {
  if (size == 0) return;
  {
    std::lock_guard lock(mutex_);
    if (closing_ || failed_) return;
    if (queued_bytes_ + size > max_queued_bytes_) {
      dropped_.fetch_add(size, std::memory_order_relaxed);
      if (!dropping_logged_) {
        dropping_logged_ = true;
        spdlog::warn("Raw capture {}: the writer fell behind; stream bytes are dropped from the capture (the recording keeps them)",
                     file_.path().string());
      }
      return;
    }
    // NB: the copy is made under the lock, which the writer holds only to
    // take a buffer; writing to disk happens outside it.
    queue_.emplace_back(data, data + size);
    queued_bytes_ += size;
  }
  wake_.notify_one();
}

void CapturingDevice::write_queued() {
  while (true) {
    std::vector<uint8_t> buffer;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;  // closing, and everything is written
      buffer = std::move(queue_.front());
      queue_.pop_front();
      queued_bytes_ -= buffer.size();
    }
    if (auto written = file_.write(std::as_bytes(std::span(buffer))); !written) {
      // NB: the recording goes on without its capture rather than stalling
      // the device stream; close() reports the failure.
      spdlog::error("Raw capture {} stopped: {}", file_.path().string(), written.error());
      std::lock_guard lock(mutex_);
      failed_ = true;
      failure_ = written.error();
      queue_.clear();
      queued_bytes_ = 0;
      return;
    }
    captured_.fetch_add(buffer.size(), std::memory_order_relaxed);
  }
}

std::expected<void, std::string> CapturingDevice::close() {
  if (closed_) return {};
  closed_ = true;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
  std::expected<void, std::string> closed;
  if (file_.is_open()) closed = file_.close();
  if (failed_) return std::unexpected(failure_);
  if (!closed) return closed;
  if (const uint64_t dropped = bytes_dropped())
    return std::unexpected(fmt::format("{}: {} stream bytes could not be kept (the capture's writer fell behind)",
                                       file_.path().string(), dropped));
  return {};
}

}  // namespace pelionp::record
