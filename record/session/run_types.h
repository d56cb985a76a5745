#pragma once
// The value types a host meets around a Run: its errors, the blocks its
// sample tap is handed, and the IO bit that may drive the sync column.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "record/export.h"
#include "record/spikeglx/meta.h"

namespace pelionp::record {

// What went wrong, for a host to act on in code; `message` names it.
enum class RunErrorKind : uint8_t {
  disk_full,              // not enough room for the run, or the disk filled while recording
  device_lost,            // a stream could not start, or a probe stopped delivering
  configuration_refused,  // a probe refused its calibration, configuration or upload
  file_exists,            // the gate the host named already holds files
  invalid_options,        // the options name no probe, a bad run name, ...
  write_failed,           // any other failure to create or write a file
};
PELIONP_RECORD_API std::string_view to_string(RunErrorKind kind) noexcept;

struct PELIONP_RECORD_API RunError {
  RunErrorKind kind = RunErrorKind::write_failed;
  std::string message;
};
// "<message> (<kind>)", for logs and test output.
PELIONP_RECORD_API std::ostream& operator<<(std::ostream& out, const RunError& error);

// A block of rows a writer has just written, handed to `RunOptions::sample_tap`.
// Rows are as in the .bin: `channels` values each (384 neural channels then
// the sync column, so 385), NP2 values on the file's 14-bit scale, a gap's
// rows zero (their sync column marked, see ProbeWriter). `samples` is valid
// only during the call.
struct PELIONP_RECORD_API SampleBlock {
  int probe = 0;                    // imec<N>: the index in the run
  spikeglx::Band band = spikeglx::Band::ap;
  uint64_t first_sample = 0;        // file sample index of the first row
  std::size_t rows = 0;
  int channels = spikeglx::SAVED_CHANNELS;  // values per row, the sync column included
  std::span<const int16_t> samples; // rows * channels values, row after row
  uint64_t first_timestamp = 0;     // device timestamp of the first row (LF: its superframe's first AP sample)
};
// Called on each writer thread after each written block; it must be quick
// (copy into a ring and return): the writer waits for it.
using SampleTap = std::function<void(const SampleBlock&)>;

// One bit of the board's IO frames taken as the sync signal: every probe
// file's sync column carries it at the sample's device time.
struct PELIONP_RECORD_API SyncBit {
  enum class Field : uint8_t { u64, u32, u16 };
  Field field = Field::u16;
  int index = 0;  // u32: 0..1, u16: 0..15, u64: 0
  int bit = 0;    // 0 .. field width - 1
};

}  // namespace pelionp::record
