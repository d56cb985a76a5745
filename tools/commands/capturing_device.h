#pragma once
// A device that saves the bytes of its data stream, exactly as they arrive,
// to a capture file on their way to the host. Every other operation passes
// through to the wrapped device untouched.
//
// Threading: the stream callback (the device's stream thread) appends to
// the file under a mutex; `close` takes the same mutex. A failed write is
// logged once, sticks, and is reported by `close`; the host keeps its data.
// Lifetime: streams started here call back into this object, so it must
// outlive them (the controller that owns it stops its streams first).

#include <atomic>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "pelio/basic_device.h"
#include "tools/spikeglx/file.h"

namespace pelionp::tool::commands {

class CapturingDevice final : public pelio::BasicDevice {
 public:
  using Status = pelio::BasicDeviceStatus;

  static std::expected<std::shared_ptr<CapturingDevice>, std::string> create(
      std::shared_ptr<pelio::BasicDevice> inner, const std::filesystem::path& capture);

  Status set_register_sync(uint32_t address, uint32_t value, uint32_t mask) override;
  Status set_register(uint32_t address, uint32_t value, uint32_t mask) override;
  Status send_registers() override;
  std::optional<uint32_t> get_register_sync(uint32_t address) override;
  uint32_t get_register(uint32_t address) override;
  Status fetch_registers() override;
  Status trigger(uint32_t address, int bit) override;
  std::size_t write(uint32_t pipe, std::size_t length, const uint8_t* data) override;
  std::size_t read(uint32_t pipe, std::size_t length, uint8_t* buffer) override;
  std::unique_ptr<DataStream> start_read_stream(uint32_t address, StreamCallback callback, int word) override;
  std::expected<std::string, std::string> get_status() override;
  std::string get_info() override;

  // Flushes and closes the capture file; call once no stream runs.
  std::expected<void, std::string> close();
  uint64_t bytes_captured() const noexcept { return captured_.load(std::memory_order_relaxed); }

 private:
  CapturingDevice(std::shared_ptr<pelio::BasicDevice> inner, spikeglx::OutputFile file);
  void capture(const uint8_t* data, std::size_t size);

  std::shared_ptr<pelio::BasicDevice> inner_;
  std::mutex mutex_;
  spikeglx::OutputFile file_;
  bool failed_ = false;
  std::atomic<uint64_t> captured_{0};
};

}  // namespace pelionp::tool::commands
