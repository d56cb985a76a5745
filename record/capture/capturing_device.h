#pragma once
// A device that saves the bytes of its data stream, exactly as they arrive,
// to a capture file on their way to the host. Every other operation passes
// through to the wrapped device untouched.
//
// Threading: the stream callback (the device's stream thread) only copies
// each buffer into a bounded queue; the capture's own writer thread, owned
// and joined by this object, writes the queue to the file. When the queue
// holds `max_queued_bytes` the buffer is not kept: it is counted in
// `bytes_dropped` (logged once) and the host still gets it. A failed write
// is logged once, sticks, and is reported by `close`. `close` (or the
// destructor) writes what is queued, joins the writer and closes the file.
// Lifetime: streams started here call back into this object, so it must
// outlive them (the controller that owns it stops its streams first).

#include <atomic>
#include <condition_variable>
#include <deque>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelio/basic_device.h"
#include "record/spikeglx/file.h"

#include "record/export.h"

namespace pelionp::record {

class PELIONP_RECORD_API CapturingDevice final : public pelio::BasicDevice {
 public:
  using Status = pelio::BasicDeviceStatus;

  static constexpr std::size_t DEFAULT_MAX_QUEUED_BYTES = 256u << 20;  // several seconds of a full board

  static std::expected<std::shared_ptr<CapturingDevice>, std::string> create(
      std::shared_ptr<pelio::BasicDevice> inner, const std::filesystem::path& capture,
      std::size_t max_queued_bytes = DEFAULT_MAX_QUEUED_BYTES);
  ~CapturingDevice() override;

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

  // Writes what is queued, joins the writer and closes the capture file;
  // call once no stream runs. Reports a failed write, and bytes that were
  // not kept; a second call does nothing.
  std::expected<void, std::string> close();
  // Bytes written to the file so far.
  uint64_t bytes_captured() const noexcept { return captured_.load(std::memory_order_relaxed); }
  // Stream bytes the capture could not keep (its queue was full).
  uint64_t bytes_dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

 private:
  CapturingDevice(std::shared_ptr<pelio::BasicDevice> inner, spikeglx::OutputFile file, std::size_t max_queued_bytes);
  void capture(const uint8_t* data, std::size_t size);
  void write_queued();

  std::shared_ptr<pelio::BasicDevice> inner_;
  const std::size_t max_queued_bytes_;
  spikeglx::OutputFile file_;  // the writer thread's until it is joined
  std::mutex mutex_;           // guards the members below
  std::condition_variable wake_;
  std::deque<std::vector<uint8_t>> queue_;
  std::size_t queued_bytes_ = 0;
  bool closing_ = false;
  bool failed_ = false;
  std::string failure_;
  bool dropping_logged_ = false;
  std::atomic<uint64_t> captured_{0};
  std::atomic<uint64_t> dropped_{0};
  bool closed_ = false;  // close() has run (owner's thread)
  std::thread writer_;
};

}  // namespace pelionp::record
