#pragma once
// One probe's recording on disk, in the field's common layout:
//
//   DIR/<run>_g<G>/<run>_g<G>_imec<N>/<run>_g<G>_t0.imec<N>.ap.bin  (+ .ap.meta)
//                                     <run>_g<G>_t0.imec<N>.lf.bin  (+ .lf.meta, NP1 only)
//                                     <run>_g<G>_t0.imec<N>.ap.timestamps.npy
//                                     <run>_g<G>_t0.imec<N>.probe.json  (ProbeInterface)
//   DIR/<run>_g<G>/<run>_g<G>_t0.probe.json  (ProbeInterface, every probe of the run)
//   DIR/<run>_g<G>/<run>_g<G>_t0.io.bin      (+ .io.txt: the board's IO frames, see record/io)
//
// G is the gate (see Run). Files are created, never truncated: a file
// that exists already is an error naming it.
//
// `.bin`: headerless little-endian int16, interleaved by sample, 384
// channels then the sync channel. NP1 values are the probe's packet values;
// NP2 values are on the file's scale, which the probe's stream produces
// when it converts with spikeglx::np2_file_gains (see meta.h). The
// timestamps file holds the device timestamp of every AP sample (of a
// filled one, the timestamp it stands for).
//
// The sync channel: bit 0 carries the run's sync bit when one is chosen
// (`SYNC_BIT`), bit 14 marks a sample filled in for one the probe did not
// deliver (`SYNC_FILLED`); otherwise it is 0.
//
// The .meta of each .bin exists from its creation and is rewritten whole
// (a temporary renamed over it) at each `checkpoint` and at close, with the
// sizes that reached the disk, so what a crash leaves opens as it is.
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
#include <vector>

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
  int gate = 0;

  std::filesystem::path run_directory() const;                       // root/<run>_g<G>
  std::filesystem::path probe_directory(int index) const;            // .../<run>_g<G>_imec<N>
  std::filesystem::path stream_stem(int index, Band band) const;     // .../<run>_g<G>_t0.imec<N>.<band>
  std::filesystem::path probe_description(int index) const;          // .../<run>_g<G>_t0.imec<N>.probe.json
  std::filesystem::path run_description() const;                     // root/<run>_g<G>/<run>_g<G>_t0.probe.json
  std::filesystem::path io_stem() const;                             // root/<run>_g<G>/<run>_g<G>_t0.io (.bin, .txt)
};

// The first file of a run of `probes` probes in `layout` that exists
// already, if any.
PELIONP_RECORD_API std::optional<std::filesystem::path> existing_file(const Layout& layout, int probes);

// One past the highest gate of `run` in `root` (0 when there is none).
PELIONP_RECORD_API int next_free_gate(const std::filesystem::path& root, const std::string& run);

// Writes `text` beside `path`, then renames it over `path`: a reader (or a
// crash) sees the old text or the new, never half of one.
PELIONP_RECORD_API std::expected<void, std::string> write_text_atomically(const std::filesystem::path& path,
                                                                          const std::string& text);
// The local time as .meta files state it: "2024-05-01T12:00:00".
PELIONP_RECORD_API std::string local_time_now();

inline constexpr int16_t SYNC_BIT = 0x0001;
inline constexpr int16_t SYNC_FILLED = 0x4000;

// The same path with ".timestamps.npy" appended to the AP stem.
PELIONP_RECORD_API std::filesystem::path timestamps_path(const std::filesystem::path& ap_stem);

class PELIONP_RECORD_API ProbeRecording {
 public:
  // Creates the probe's directory and files, its ProbeInterface description
  // among them. `configuration` is what was uploaded to the probe; it goes
  // to `~imroTbl` and the geometry maps.
  // `page_cache`: how the .bin files are written (see OutputFile); the
  // small files always go through the page cache.
  static std::expected<std::unique_ptr<ProbeRecording>, std::string> create(
      const Layout& layout, int index, ProbeIdentity probe, imro::ProbeConfiguration configuration,
      PageCache page_cache = PageCache::bypassed);

  ProbeRecording(const ProbeRecording&) = delete;
  ProbeRecording& operator=(const ProbeRecording&) = delete;
  ~ProbeRecording();  // closes if close() was not called; errors are logged

  // `count` AP samples of 384 channels each (sample k of channel c at
  // samples[k * 384 + c]) with their device timestamps. Returns the rows
  // as written (385 values each, the sync column last), valid until the
  // next call.
  // `sync`: each sample's sync column (empty: 0).
  std::expected<std::span<const int16_t>, std::string> append_ap(std::span<const int16_t> samples,
                                                                 std::span<const uint64_t> timestamps,
                                                                 std::span<const int16_t> sync = {});
  // Room for `count` AP samples to fill in place, in the file's layout:
  // sample k's 384 values at rows[k * 385 ...], its sync column at
  // rows[k * 385 + 384], its device timestamp at timestamps + 8 k (a
  // little-endian uint64, perhaps unaligned). Follow with commit_ap(count),
  // which returns the rows as written, valid until the next call.
  struct ApRoom {
    std::span<int16_t> rows;
    std::byte* timestamps = nullptr;
  };
  std::expected<ApRoom, std::string> reserve_ap(std::size_t count);
  std::span<const int16_t> commit_ap(std::size_t count) noexcept;
  // One LF sample of 384 channels (NP1 only); returns its row as written.
  std::expected<std::span<const int16_t>, std::string> append_lf(std::span<const int16_t, CHANNEL_COUNT> samples,
                                                                 int16_t sync = 0);
  // `rows` filled AP samples (zeros, sync column SYNC_FILLED) standing for
  // the timestamps from `first_timestamp` on; at most FILL_ROWS at a time.
  static constexpr std::size_t FILL_ROWS = 1024;
  std::expected<std::span<const int16_t>, std::string> fill_ap(std::size_t rows, uint64_t first_timestamp);
  std::expected<std::span<const int16_t>, std::string> fill_lf();

  // What the .meta files say beyond the sizes: the run's start in device
  // ticks (firstSample: AP t0, LF t0 / 12), the gaps, the backward
  // timestamps, the sync source. Taken at the next checkpoint or close.
  void set_start_timestamp(uint64_t t0) noexcept { start_timestamp_ = t0; }
  void note_gap(Band band, Gap gap);
  void set_backward_timestamps(uint64_t count) noexcept { backward_timestamps_ = count; }
  void set_sync_source(std::string statement) { sync_source_ = std::move(statement); }
  void set_user_notes(std::string notes) { user_notes_ = std::move(notes); }
  // Writes out every buffer and rewrites the .meta files (atomically) and
  // the timestamps' header with what reached the disk.
  std::expected<void, std::string> checkpoint();

  // The .bin files go past the page cache (asked for, and the file system allows it).
  bool bypasses_page_cache() const noexcept { return ap_.bin.bypasses_page_cache(); }
  // The write failed for want of space (the first error was ENOSPC).
  bool out_of_space() const noexcept;

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
    std::string meta_tables;  // the .meta's tilde lines, formatted once
  };

  ProbeRecording(ProbeIdentity probe, imro::ProbeConfiguration configuration, Stream ap, std::optional<Stream> lf,
                 TimestampFile timestamps);
  std::expected<void, std::string> close_stream(Stream& stream, Band band);
  std::expected<void, std::string> write_meta(const Stream& stream, Band band) const;

  ProbeIdentity probe_;
  imro::ProbeConfiguration configuration_;
  std::filesystem::path ap_path_;
  Stream ap_;
  std::optional<Stream> lf_;
  TimestampFile timestamps_;
  bool closed_ = false;
  uint64_t start_timestamp_ = 0;
  std::vector<Gap> ap_gaps_;
  std::vector<Gap> lf_gaps_;
  uint64_t backward_timestamps_ = 0;
  std::string sync_source_ = "none";
  std::string user_notes_;
  int16_t* reserved_rows_ = nullptr;  // by reserve_ap, for commit_ap
  std::atomic<uint64_t> ap_samples_{0};
  std::atomic<uint64_t> lf_samples_{0};
  std::atomic<uint64_t> bytes_written_{0};
};

}  // namespace pelionp::record::spikeglx
