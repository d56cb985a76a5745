#pragma once
// While a run records an NP2 probe, the probe's stream converts straight
// onto the file's scale: its gain corrections become
// spikeglx::np2_file_gains of what they were, so each sample is truncated
// once (not to the 12-bit scale and then multiplied). The holder puts the
// corrections back when it goes; an NP1 probe is left alone.
//
// Threading: made and dropped on the configuring thread; the stream takes
// new gains between two sets, so this may happen while it streams.

#include <array>

#include "record/session/session.h"

#include "record/export.h"

namespace pelionp::record {

class PELIONP_RECORD_API FileScale {
 public:
  explicit FileScale(const ProbeHandle& probe);
  FileScale(FileScale&& other) noexcept;
  FileScale& operator=(FileScale&&) = delete;
  FileScale(const FileScale&) = delete;
  FileScale& operator=(const FileScale&) = delete;
  ~FileScale();

 private:
  NP2::ProbeStream* stream_ = nullptr;  // NP2 only
  std::array<float, CHANNEL_COUNT> corrections_{};
};

}  // namespace pelionp::record
