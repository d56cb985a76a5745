#pragma once
// One probe's recording on disk, in the field's common layout:
//
//   DIR/<run>_g0/<run>_g0_imec<N>/<run>_g0_t0.imec<N>.ap.bin  (+ .ap.meta)
//                                 <run>_g0_t0.imec<N>.lf.bin  (+ .lf.meta, NP1 only)
//                                 <run>_g0_t0.imec<N>.ap.timestamps.npy
//                                 <run>_g0_t0.imec<N>.probe.json  (ProbeInterface)
//   DIR/<run>_g0/<run>_g0_t0.probe.json  (ProbeInterface, every probe of the run)
//
// `.bin`: headerless little-endian int16, interleaved by sample, 384
// channels then the sync channel (always 0: the board has no sync input on
// these streams), the values as given. NP1 values are the probe's packet
// values; NP2 values are on the file's scale, which the probe's stream
// produces when it converts with spikeglx::np2_file_gains (see meta.h).
// The timestamps file holds the device timestamp of every AP sample.
//
// Threading: a ProbeRecording belongs to one writer thread. Only the
// counters (`ap_samples`, `bytes_written`) may be read from other threads.

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "record/imro/configuration.h"
#include "record/spikeglx/file.h"
#include "record/spikeglx/meta.h"
#include "record/spikeglx/npy.h"

#include "record/export.h"

namespace pelionp::record::spikeglx {

// Where the files of a run go.
struct PELIONP_RECORD_API Layout {
  std::filesystem::path root;
  std::string run = "pelionp";

  std::filesystem::path run_directory() const;                       // root/<run>_g0
  std::filesystem::path probe_directory(int index) const;            // .../<run>_g0_imec<N>
  std::filesystem::path stream_stem(int index, Band band) const;     // .../<run>_g0_t0.imec<N>.<band>
  std::filesystem::path probe_description(int index) const;          // .../<run>_g0_t0.imec<N>.probe.json
  std::filesystem::path run_description() const;                     // root/<run>_g0/<run>_g0_t0.probe.json
};

// The same path with ".timestamps.npy" appended to the AP stem.
PELIONP_RECORD_API std::filesystem::path timestamps_path(const std::filesystem::path& ap_stem);

class PELIONP_RECORD_API ProbeRecording {
 public:
  // Creates the probe's directory and files, its ProbeInterface description
  // among them. `configuration` is what was uploaded to the probe; it goes
  // to `~imroTbl` and the geometry maps.
  static std::expected<std::unique_ptr<ProbeRecording>, std::string> create(const Layout& layout, int index,
                                                                             ProbeIdentity probe,
                                                                             imro::ProbeConfiguration configuration);

  ProbeRecording(const ProbeRecording&) = delete;
  ProbeRecording& operator=(const ProbeRecording&) = delete;
  ~ProbeRecording();  // closes if close() was not called; errors are logged

  // `count` AP samples of 384 channels each (sample k of channel c at
  // samples[k * 384 + c]) with their device timestamps.
  std::expected<void, std::string> append_ap(std::span<const int16_t> samples, std::span<const uint64_t> timestamps);
  // One LF sample of 384 channels (NP1 only).
  std::expected<void, std::string> append_lf(std::span<const int16_t, CHANNEL_COUNT> samples);

  // Flushes every file, writes the .meta files with the final sizes and
  // closes. Reports the first failure; all files are closed either way.
  std::expected<void, std::string> close();

  const ProbeIdentity& probe() const noexcept { return probe_; }
  const std::filesystem::path& ap_path() const noexcept { return ap_path_; }
  uint64_t ap_samples() const noexcept { return ap_samples_.load(std::memory_order_relaxed); }
  uint64_t lf_samples() const noexcept { return lf_samples_.load(std::memory_order_relaxed); }
  uint64_t bytes_written() const noexcept { return bytes_written_.load(std::memory_order_relaxed); }

 private:
  struct Stream {
    OutputFile bin;
    std::filesystem::path meta_path;
    std::string create_time;
  };

  ProbeRecording(ProbeIdentity probe, imro::ProbeConfiguration configuration, Stream ap, std::optional<Stream> lf,
                 TimestampFile timestamps);
  std::expected<void, std::string> close_stream(Stream& stream, Band band);

  ProbeIdentity probe_;
  imro::ProbeConfiguration configuration_;
  std::filesystem::path ap_path_;
  Stream ap_;
  std::optional<Stream> lf_;
  TimestampFile timestamps_;
  bool closed_ = false;
  std::atomic<uint64_t> ap_samples_{0};
  std::atomic<uint64_t> lf_samples_{0};
  std::atomic<uint64_t> bytes_written_{0};
};

}  // namespace pelionp::record::spikeglx
