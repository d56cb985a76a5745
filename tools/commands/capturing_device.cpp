#include "tools/commands/capturing_device.h"

#include <spdlog/spdlog.h>

#include <cstddef>
#include <span>
#include <variant>

namespace pelionp::tool::commands {

std::expected<std::shared_ptr<CapturingDevice>, std::string> CapturingDevice::create(
    std::shared_ptr<pelio::BasicDevice> inner, const std::filesystem::path& capture) {
  auto file = spikeglx::OutputFile::create(capture);
  if (!file) return std::unexpected(file.error());
  return std::shared_ptr<CapturingDevice>(new CapturingDevice(std::move(inner), std::move(*file)));
}

CapturingDevice::CapturingDevice(std::shared_ptr<pelio::BasicDevice> inner, spikeglx::OutputFile file)
    : inner_(std::move(inner)), file_(std::move(file)) {}

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
  std::lock_guard lock(mutex_);
  if (failed_ || !file_.is_open()) return;
  if (auto written = file_.write(std::as_bytes(std::span(data, size))); !written) {
    // NB: the recording goes on without its capture rather than stalling
    // the device stream; close() reports the failure.
    spdlog::error("Raw capture {} stopped: {}", file_.path().string(), written.error());
    failed_ = true;
    return;
  }
  captured_.fetch_add(size, std::memory_order_relaxed);
}

std::expected<void, std::string> CapturingDevice::close() {
  std::lock_guard lock(mutex_);
  if (!file_.is_open()) return {};
  return file_.close();
}

}  // namespace pelionp::tool::commands
