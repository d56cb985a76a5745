#include "record/spikeglx/recording.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <system_error>

#include "record/probeinterface/probe_interface.h"

namespace pelionp::record::spikeglx {

namespace {

constexpr size_t ROW_BYTES = SAVED_CHANNELS * sizeof(int16_t);

std::filesystem::path with_suffix(std::filesystem::path stem, std::string_view suffix) {
  stem += suffix;
  return stem;
}

// Copies one sample of 384 channels into a 385-value row, sync last.
void fill_row(std::byte* row, const int16_t* samples, int16_t sync) noexcept {
  std::memcpy(row, samples, CHANNEL_COUNT * sizeof(int16_t));
  std::memcpy(row + CHANNEL_COUNT * sizeof(int16_t), &sync, sizeof sync);
}

void zero_row(std::byte* row) noexcept {
  std::memset(row, 0, ROW_BYTES);
  const int16_t sync = SYNC_FILLED;
  std::memcpy(row + CHANNEL_COUNT * sizeof(int16_t), &sync, sizeof sync);
}

}  // namespace

std::string local_time_now() {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}", tm);
}

// Written beside, then renamed over the old one: a reader (or a crash)
// sees the old text or the new, never half of one.
std::expected<void, std::string> write_text_atomically(const std::filesystem::path& path, const std::string& text) {
  auto temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) return std::unexpected(fmt::format("Failed to write {}", temporary.string()));
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) return std::unexpected(fmt::format("Failed to rename {} to {}: {}", temporary.string(), path.string(), ec.message()));
  return {};
}


std::filesystem::path Layout::run_directory() const { return root / fmt::format("{}_g{}", run, gate); }

std::filesystem::path Layout::probe_directory(int index) const {
  return run_directory() / fmt::format("{}_g{}_imec{}", run, gate, index);
}

std::filesystem::path Layout::stream_stem(int index, Band band) const {
  return probe_directory(index) / fmt::format("{}_g{}_t0.imec{}.{}", run, gate, index, band_name(band));
}

std::filesystem::path Layout::probe_description(int index) const {
  return probe_directory(index) / fmt::format("{}_g{}_t0.imec{}.probe.json", run, gate, index);
}

std::filesystem::path Layout::run_description() const {
  return run_directory() / fmt::format("{}_g{}_t0.probe.json", run, gate);
}

std::filesystem::path Layout::io_stem() const { return run_directory() / fmt::format("{}_g{}_t0.io", run, gate); }

std::optional<std::filesystem::path> existing_file(const Layout& layout, int probes) {
  std::vector<std::filesystem::path> paths{layout.run_description(), with_suffix(layout.io_stem(), ".bin"),
                                           with_suffix(layout.io_stem(), ".txt")};
  for (int i = 0; i < probes; ++i) {
    for (const Band band : {Band::ap, Band::lf}) {
      paths.push_back(with_suffix(layout.stream_stem(i, band), ".bin"));
      paths.push_back(with_suffix(layout.stream_stem(i, band), ".meta"));
    }
    paths.push_back(timestamps_path(layout.stream_stem(i, Band::ap)));
    paths.push_back(layout.probe_description(i));
  }
  std::error_code ec;
  for (const auto& p : paths)
    if (std::filesystem::exists(p, ec)) return p;
  return std::nullopt;
}

int next_free_gate(const std::filesystem::path& root, const std::string& run) {
  int next = 0;
  std::error_code ec;
  const std::string prefix = run + "_g";
  for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix) || name.size() == prefix.size()) continue;
    const std::string digits = name.substr(prefix.size());
    if (!std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; }) || digits.size() > 6) continue;
    next = std::max(next, std::stoi(digits) + 1);
  }
  return next;
}

std::filesystem::path timestamps_path(const std::filesystem::path& ap_stem) {
  return with_suffix(ap_stem, ".timestamps.npy");
}

std::expected<std::unique_ptr<ProbeRecording>, std::string> ProbeRecording::create(
    const Layout& layout, int index, ProbeIdentity probe, imro::ProbeConfiguration configuration, PageCache page_cache) {
  if (configuration.kind != probe.kind)
    return std::unexpected(fmt::format("imec{}: the configuration is for an {} probe, the probe is an {}", index,
                                       display_name(configuration.kind), display_name(probe.kind)));
  // The run name becomes part of directory and file names; a separator or a
  // dot name would put the recording somewhere else.
  if (layout.run.empty() || layout.run == "." || layout.run == ".." || layout.run.find_first_of("/\\") != std::string::npos)
    return std::unexpected(fmt::format("Run name '{}' is not a plain file name", layout.run));
  std::error_code ec;
  std::filesystem::create_directories(layout.probe_directory(index), ec);
  if (ec)
    return std::unexpected(
        fmt::format("Cannot create directory {}: {}", layout.probe_directory(index).string(), ec.message()));

  auto open_stream = [&](Band band) -> std::expected<Stream, std::string> {
    const auto stem = layout.stream_stem(index, band);
    auto bin = OutputFile::create(with_suffix(stem, ".bin"), {.page_cache = page_cache, .record_bytes = ROW_BYTES});
    if (!bin) return std::unexpected(bin.error());
    return Stream{std::move(*bin), with_suffix(stem, ".meta"), local_time_now(), meta_tables(probe, configuration, band)};
  };

  auto ap = open_stream(Band::ap);
  if (!ap) return std::unexpected(ap.error());
  std::optional<Stream> lf;
  if (probe.kind == ProbeKind::np1) {
    auto opened = open_stream(Band::lf);
    if (!opened) return std::unexpected(opened.error());
    lf = std::move(*opened);
  }
  auto timestamps = TimestampFile::create(timestamps_path(layout.stream_stem(index, Band::ap)));
  if (!timestamps) return std::unexpected(timestamps.error());
  const probeinterface::RecordedProbe described{probe, configuration};
  if (auto r = probeinterface::write(layout.probe_description(index), std::span(&described, 1)); !r)
    return std::unexpected(r.error());
  std::unique_ptr<ProbeRecording> recording(new ProbeRecording(std::move(probe), std::move(configuration),
                                                               std::move(*ap), std::move(lf), std::move(*timestamps)));
  // Every .bin has its .meta from the start: a run that dies at once still
  // leaves files a reader opens.
  if (auto r = recording->write_meta(recording->ap_, Band::ap); !r) return std::unexpected(r.error());
  if (recording->lf_)
    if (auto r = recording->write_meta(*recording->lf_, Band::lf); !r) return std::unexpected(r.error());
  return recording;
}

ProbeRecording::ProbeRecording(ProbeIdentity probe, imro::ProbeConfiguration configuration, Stream ap,
                               std::optional<Stream> lf, TimestampFile timestamps)
    : probe_(std::move(probe)),
      configuration_(std::move(configuration)),
      ap_path_(ap.bin.path()),
      ap_(std::move(ap)),
      lf_(std::move(lf)),
      timestamps_(std::move(timestamps)) {}

ProbeRecording::~ProbeRecording() {
  if (closed_) return;
  if (auto ok = close(); !ok) spdlog::error("{}", ok.error());
}

std::expected<ProbeRecording::ApRoom, std::string> ProbeRecording::reserve_ap(std::size_t count) {
  auto rows = ap_.bin.reserve(count * ROW_BYTES);
  if (!rows) return std::unexpected(rows.error());
  auto timestamps = timestamps_.reserve(count);
  if (!timestamps) return std::unexpected(timestamps.error());
  reserved_rows_ = reinterpret_cast<int16_t*>(*rows);
  return ApRoom{.rows = std::span(reserved_rows_, count * SAVED_CHANNELS), .timestamps = *timestamps};
}

std::span<const int16_t> ProbeRecording::commit_ap(std::size_t count) noexcept {
  ap_.bin.commit(count * ROW_BYTES);
  timestamps_.commit(count);
  ap_samples_.fetch_add(count, std::memory_order_relaxed);
  bytes_written_.fetch_add(count * (ROW_BYTES + sizeof(uint64_t)), std::memory_order_relaxed);
  return std::span<const int16_t>(reserved_rows_, count * SAVED_CHANNELS);
}

std::expected<std::span<const int16_t>, std::string> ProbeRecording::append_ap(std::span<const int16_t> samples,
                                                                               std::span<const uint64_t> timestamps,
                                                                               std::span<const int16_t> sync) {
  const size_t count = timestamps.size();
  if (samples.size() != count * CHANNEL_COUNT)
    return std::unexpected(fmt::format("{}: {} AP values do not make {} samples of {} channels", ap_path_.string(),
                                       samples.size(), count, CHANNEL_COUNT));
  if (!sync.empty() && sync.size() != count)
    return std::unexpected(fmt::format("{}: {} sync values for {} samples", ap_path_.string(), sync.size(), count));
  auto room = reserve_ap(count);
  if (!room) return std::unexpected(room.error());
  auto* rows = reinterpret_cast<std::byte*>(room->rows.data());
  for (size_t k = 0; k < count; ++k)
    fill_row(rows + k * ROW_BYTES, samples.data() + k * CHANNEL_COUNT, sync.empty() ? int16_t{0} : sync[k]);
  std::memcpy(room->timestamps, timestamps.data(), timestamps.size_bytes());
  return commit_ap(count);
}

std::expected<std::span<const int16_t>, std::string> ProbeRecording::fill_ap(std::size_t rows,
                                                                             uint64_t first_timestamp) {
  rows = std::min(rows, FILL_ROWS);
  auto room = reserve_ap(rows);
  if (!room) return std::unexpected(room.error());
  auto* bytes = reinterpret_cast<std::byte*>(room->rows.data());
  for (size_t k = 0; k < rows; ++k) {
    zero_row(bytes + k * ROW_BYTES);
    const uint64_t t = first_timestamp + k;
    std::memcpy(room->timestamps + k * sizeof t, &t, sizeof t);
  }
  return commit_ap(rows);
}

std::expected<std::span<const int16_t>, std::string> ProbeRecording::fill_lf() {
  if (!lf_) return std::unexpected(fmt::format("{}: an {} probe has no LF band", ap_path_.string(), display_name(probe_.kind)));
  auto room = lf_->bin.reserve(ROW_BYTES);
  if (!room) return std::unexpected(room.error());
  zero_row(*room);
  lf_->bin.commit(ROW_BYTES);
  lf_samples_.fetch_add(1, std::memory_order_relaxed);
  bytes_written_.fetch_add(ROW_BYTES, std::memory_order_relaxed);
  return std::span(reinterpret_cast<const int16_t*>(*room), std::size_t{SAVED_CHANNELS});
}

void ProbeRecording::note_gap(Band band, Gap gap) { (band == Band::ap ? ap_gaps_ : lf_gaps_).push_back(std::move(gap)); }

std::expected<void, std::string> ProbeRecording::write_meta(const Stream& stream, Band band) const {
  const StreamSummary summary{
      .band = band,
      .sample_count = stream.bin.bytes_on_disk() / ROW_BYTES,
      .first_sample = band == Band::ap ? start_timestamp_ : start_timestamp_ / 12,
      .file_name = std::filesystem::absolute(stream.bin.path()).string(),
      .create_time = stream.create_time,
      .gaps = band == Band::ap ? ap_gaps_ : lf_gaps_,
      .backward_timestamps = backward_timestamps_,
      .sync_source = sync_source_,
      .user_notes = user_notes_,
  };
  return write_text_atomically(stream.meta_path, format_meta(probe_, summary, stream.meta_tables));
}

std::expected<void, std::string> ProbeRecording::checkpoint() {
  if (closed_) return std::unexpected(fmt::format("{} is closed", ap_path_.string()));
  if (auto r = ap_.bin.flush(); !r) return r;
  if (lf_)
    if (auto r = lf_->bin.flush(); !r) return r;
  if (auto r = timestamps_.checkpoint(); !r) return r;
  if (auto r = write_meta(ap_, Band::ap); !r) return r;
  if (lf_)
    if (auto r = write_meta(*lf_, Band::lf); !r) return r;
  return {};
}

std::expected<std::span<const int16_t>, std::string> ProbeRecording::append_lf(
    std::span<const int16_t, CHANNEL_COUNT> samples, int16_t sync) {
  if (!lf_) return std::unexpected(fmt::format("{}: an {} probe has no LF band", ap_path_.string(), display_name(probe_.kind)));
  auto room = lf_->bin.reserve(ROW_BYTES);
  if (!room) return std::unexpected(room.error());
  fill_row(*room, samples.data(), sync);
  lf_->bin.commit(ROW_BYTES);
  lf_samples_.fetch_add(1, std::memory_order_relaxed);
  bytes_written_.fetch_add(ROW_BYTES, std::memory_order_relaxed);
  return std::span(reinterpret_cast<const int16_t*>(*room), std::size_t{SAVED_CHANNELS});
}

bool ProbeRecording::out_of_space() const noexcept {
  return ap_.bin.out_of_space() || (lf_ && lf_->bin.out_of_space()) || timestamps_.out_of_space();
}

std::expected<void, std::string> ProbeRecording::close_stream(Stream& stream, Band band) {
  auto closed = stream.bin.close();
  // The meta is written even after a failed write: it describes what the
  // .bin holds.
  auto meta = write_meta(stream, band);
  if (!closed) return closed;
  return meta;
}

std::expected<void, std::string> ProbeRecording::close() {
  if (closed_) return std::unexpected(fmt::format("{} is already closed", ap_path_.string()));
  closed_ = true;
  std::expected<void, std::string> first;
  auto keep_first = [&](std::expected<void, std::string> r) {
    if (first && !r) first = std::move(r);
  };
  keep_first(close_stream(ap_, Band::ap));
  if (lf_) keep_first(close_stream(*lf_, Band::lf));
  keep_first(timestamps_.close());
  return first;
}

}  // namespace pelionp::record::spikeglx
