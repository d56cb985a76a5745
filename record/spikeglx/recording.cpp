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

std::filesystem::path with_suffix(std::filesystem::path stem, std::string_view suffix) {
  stem += suffix;
  return stem;
}

// Copies one sample of 384 channels into a 385-value row, sync last.
void fill_row(std::byte* row, const int16_t* samples) noexcept {
  int16_t values[SAVED_CHANNELS];
  std::memcpy(values, samples, CHANNEL_COUNT * sizeof(int16_t));
  values[CHANNEL_COUNT] = 0;
  std::memcpy(row, values, ROW_BYTES);
}

std::expected<void, std::string> write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return std::unexpected(fmt::format("Failed to write {}", path.string()));
  return {};
}

}  // namespace

std::filesystem::path Layout::run_directory() const { return root / fmt::format("{}_g0", run); }

std::filesystem::path Layout::probe_directory(int index) const {
  return run_directory() / fmt::format("{}_g0_imec{}", run, index);
}

std::filesystem::path Layout::stream_stem(int index, Band band) const {
  return probe_directory(index) / fmt::format("{}_g0_t0.imec{}.{}", run, index, band_name(band));
}

std::filesystem::path Layout::probe_description(int index) const {
  return probe_directory(index) / fmt::format("{}_g0_t0.imec{}.probe.json", run, index);
}

std::filesystem::path Layout::run_description() const {
  return run_directory() / fmt::format("{}_g0_t0.probe.json", run);
}

std::filesystem::path timestamps_path(const std::filesystem::path& ap_stem) {
  return with_suffix(ap_stem, ".timestamps.npy");
}

std::expected<std::unique_ptr<ProbeRecording>, std::string> ProbeRecording::create(
    const Layout& layout, int index, ProbeIdentity probe, imro::ProbeConfiguration configuration) {
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
    auto bin = OutputFile::create(with_suffix(stem, ".bin"));
    if (!bin) return std::unexpected(bin.error());
    return Stream{std::move(*bin), with_suffix(stem, ".meta"), local_time_now()};
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
  return std::unique_ptr<ProbeRecording>(new ProbeRecording(std::move(probe), std::move(configuration),
                                                            std::move(*ap), std::move(lf), std::move(*timestamps)));
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

std::expected<void, std::string> ProbeRecording::append_ap(std::span<const int16_t> samples,
                                                           std::span<const uint64_t> timestamps) {
  const size_t count = timestamps.size();
  if (samples.size() != count * CHANNEL_COUNT)
    return std::unexpected(fmt::format("{}: {} AP values do not make {} samples of {} channels", ap_path_.string(),
                                       samples.size(), count, CHANNEL_COUNT));
  auto room = ap_.bin.reserve(count * ROW_BYTES);
  if (!room) return std::unexpected(room.error());
  for (size_t k = 0; k < count; ++k) fill_row(*room + k * ROW_BYTES, samples.data() + k * CHANNEL_COUNT);
  ap_.bin.commit(count * ROW_BYTES);
  if (auto ok = timestamps_.append(timestamps); !ok) return ok;
  ap_samples_.fetch_add(count, std::memory_order_relaxed);
  bytes_written_.fetch_add(count * (ROW_BYTES + sizeof(uint64_t)), std::memory_order_relaxed);
  return {};
}

std::expected<void, std::string> ProbeRecording::append_lf(std::span<const int16_t, CHANNEL_COUNT> samples) {
  if (!lf_) return std::unexpected(fmt::format("{}: an {} probe has no LF band", ap_path_.string(), display_name(probe_.kind)));
  auto room = lf_->bin.reserve(ROW_BYTES);
  if (!room) return std::unexpected(room.error());
  fill_row(*room, samples.data());
  lf_->bin.commit(ROW_BYTES);
  lf_samples_.fetch_add(1, std::memory_order_relaxed);
  bytes_written_.fetch_add(ROW_BYTES, std::memory_order_relaxed);
  return {};
}

std::expected<void, std::string> ProbeRecording::close_stream(Stream& stream, Band band) {
  const auto bin_path = stream.bin.path();
  auto closed = stream.bin.close();
  const StreamSummary summary{
      .band = band,
      .sample_count = stream.bin.bytes_on_disk() / ROW_BYTES,
      .first_sample = 0,
      .file_name = std::filesystem::absolute(bin_path).string(),
      .create_time = stream.create_time,
  };
  // The meta is written even after a failed write: it describes what the
  // .bin holds.
  auto meta = write_text(stream.meta_path, format_meta(probe_, configuration_, summary));
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
