#pragma once
// The board's IO frames (SID 5) recorded beside the probes, raw, in a file
// of our own layout:
//
//   DIR/<run>_g<G>/<run>_g<G>_t0.io.bin   records of 56 bytes, little-endian, packed:
//       timestamp  uint64     the stream timestamp of the frame's first word
//       u64        uint64     the frame's 64-bit field
//       u32        uint32[2]  its two 32-bit fields
//       u16        uint16[16] its sixteen 16-bit fields
//   DIR/<run>_g<G>/<run>_g<G>_t0.io.txt   key=value lines, as a .meta: the
//       record's size and numpy dtype, the frame count, the file size, the
//       sync bit. NB: not named .meta, which SpikeGLX readers take for a
//       probe stream's.
//
//   numpy.fromfile(bin, dtype=numpy.dtype(IO_NUMPY_DTYPE))
//
// What the fields mean on the board is not known here; they are kept as
// they came. The .txt exists from the start and is rewritten atomically
// at least twice a second while frames come, so what a crash leaves opens.
//
// `SyncTrack` follows one bit of one field over device time, for the probe
// writers' sync column.
//
// Threading: `on_frame` runs on the IO decoder's thread; `close` on the
// owner's once the IO stream has stopped; `frames` from any thread.
// SyncTrack: `add` on the IO thread, `at` on any writer thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "pelionp/demux/io_frame_processor.h"
#include "record/export.h"
#include "record/session/run_types.h"
#include "record/spikeglx/file.h"
#include "record/spikeglx/recording.h"

namespace pelionp::record::io {

struct IORecord {
  uint64_t timestamp;
  uint64_t u64;
  uint32_t u32[2];
  uint16_t u16[16];
};
static_assert(sizeof(IORecord) == 56, "the IO file's records are packed");

inline constexpr std::string_view IO_NUMPY_DTYPE =
    "[('timestamp', '<u8'), ('u64', '<u8'), ('u32', '<u4', (2,)), ('u16', '<u2', (16,))]";

// "u64:B", "u32[I]:B" or "u16[I]:B"; the message names what is wrong.
PELIONP_RECORD_API std::expected<SyncBit, std::string> parse_sync_bit(std::string_view text);
PELIONP_RECORD_API std::string format_sync_bit(const SyncBit& bit);
// The bit's value in a frame.
PELIONP_RECORD_API bool bit_of(const SyncBit& bit, const pelionp::io::IOFrame& frame) noexcept;

class PELIONP_RECORD_API SyncTrack {
 public:
  explicit SyncTrack(SyncBit bit) : bit_(bit) {}
  void add(const pelionp::io::IOFrame& frame);
  // The bit at a device timestamp: that of the last frame at or before it.
  // Waits (up to WAIT_LIMIT) for a frame at or after `timestamp`, so that a
  // probe decoded ahead of the IO frames still gets the bit of its time.
  // NB: once a wait runs out (the IO stream stalled), lookups take the
  // newest frame's value without waiting until frames come again; a
  // timestamp older than the changes kept (about a minute of a bit
  // toggling at 1 kHz) takes the oldest kept.
  bool at(uint64_t timestamp) const;
  const SyncBit& bit() const noexcept { return bit_; }

  static constexpr std::size_t KEPT_CHANGES = 65536;
  static constexpr auto WAIT_LIMIT = std::chrono::milliseconds(100);

 private:
  SyncBit bit_;
  mutable std::mutex mutex_;
  mutable std::condition_variable advanced_;
  std::deque<std::pair<uint64_t, bool>> changes_;  // (timestamp, value from then on)
  std::optional<uint64_t> newest_;                 // the newest frame's timestamp
  mutable bool stalled_ = false;
};

class PELIONP_RECORD_API IORecording {
 public:
  // Creates the .bin and its .txt (never over an existing file).
  static std::expected<std::unique_ptr<IORecording>, std::string> create(const spikeglx::Layout& layout,
                                                                         std::optional<SyncBit> sync_bit);
  IORecording(const IORecording&) = delete;
  IORecording& operator=(const IORecording&) = delete;
  ~IORecording();

  void on_frame(const pelionp::io::IOFrame& frame);
  // Writes what is buffered and the final .txt; reports the first failure
  // (a write that failed while recording included).
  std::expected<void, std::string> close();

  uint64_t frames() const noexcept { return frames_.load(std::memory_order_relaxed); }
  // The sync bit's track, when a sync bit was chosen.
  SyncTrack* sync() noexcept { return sync_ ? &*sync_ : nullptr; }
  const std::filesystem::path& bin_path() const noexcept { return bin_.path(); }

 private:
  IORecording(spikeglx::OutputFile bin, std::filesystem::path meta, std::optional<SyncBit> sync_bit);
  std::expected<void, std::string> checkpoint();

  spikeglx::OutputFile bin_;
  std::filesystem::path meta_path_;
  std::string create_time_;
  std::optional<SyncTrack> sync_;
  std::optional<SyncBit> sync_bit_;
  std::optional<uint64_t> first_timestamp_;
  std::atomic<uint64_t> frames_{0};
  std::string error_;
  std::chrono::steady_clock::time_point last_checkpoint_{};
  bool closed_ = false;
};

}  // namespace pelionp::record::io
