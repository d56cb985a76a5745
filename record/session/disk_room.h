#pragma once
// The room a run has on the disk of its output folder: looked at before the
// run (a run with a length that would not fit is refused) and as the
// writers go (a warning once less than ten minutes remain, and a clean stop
// before the disk is full, while the files' last buffers still fit).
//
// Threading: `look` from any writer thread (one mutex); `minutes_left` from
// any thread.

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "record/export.h"

namespace pelionp::record {

class PELIONP_RECORD_API DiskRoom {
 public:
  // `bytes_per_second`: what the run writes; `reserve_bytes`: what is kept
  // free (the host's margin and the writers' buffers).
  DiskRoom(std::filesystem::path folder, double bytes_per_second, uint64_t reserve_bytes);

  // Free bytes for an unprivileged writer on the disk of `folder` (or of
  // its nearest existing parent).
  static std::expected<uint64_t, std::string> available(const std::filesystem::path& folder);

  // Whether `seconds` of the run (0: unlimited, then only the reserve) fit;
  // the refusal gives the figures.
  std::expected<void, std::string> check_fits(double seconds) const;

  // Looks at the disk; a reason to stop once less than the reserve is free
  // (and from then on). Warns once when less than ten minutes remain.
  std::optional<std::string> look();

  // Minutes of recording the disk holds beyond the reserve; nothing before
  // the first look.
  std::optional<double> minutes_left() const noexcept;

  static constexpr double WARN_MINUTES = 10.0;

 private:
  std::filesystem::path folder_;
  double bytes_per_second_;
  uint64_t reserve_bytes_;
  std::mutex mutex_;
  std::optional<std::string> stop_;
  bool warned_ = false;
  std::atomic<double> minutes_left_{-1.0};
};

// "12.3 MB": decimal megabytes, as the tool prints sizes.
PELIONP_RECORD_API std::string megabytes(uint64_t bytes);

}  // namespace pelionp::record
