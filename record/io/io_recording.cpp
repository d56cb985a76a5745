#include "record/io/io_recording.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace pelionp::record::io {

namespace {

constexpr auto CHECKPOINT_PERIOD = std::chrono::milliseconds(500);
// The IO file's buffer: a few seconds of frames at 1 kHz.
constexpr std::size_t BUFFER_BYTES = std::size_t{256} << 10;

std::filesystem::path with(std::filesystem::path stem, std::string_view suffix) {
  stem += suffix;
  return stem;
}

int width_of(SyncBit::Field field) {
  switch (field) {
    case SyncBit::Field::u64: return 64;
    case SyncBit::Field::u32: return 32;
    case SyncBit::Field::u16: return 16;
  }
  return 0;
}

}  // namespace

std::expected<SyncBit, std::string> parse_sync_bit(std::string_view text) {
  auto refuse = [&](std::string_view why) {
    return std::unexpected(fmt::format("Sync bit '{}': {} (expected u64:BIT, u32[0..1]:BIT or u16[0..15]:BIT)", text, why));
  };
  auto number = [](std::string_view digits, int& value) {
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return ec == std::errc{} && end == digits.data() + digits.size() && !digits.empty();
  };
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return refuse("no ':' before the bit");
  std::string_view field = text.substr(0, colon);
  SyncBit bit;
  if (!number(text.substr(colon + 1), bit.bit)) return refuse("the bit is not a number");
  int count = 1;
  if (field == "u64") {
    bit.field = SyncBit::Field::u64;
  } else if (field.starts_with("u32[") || field.starts_with("u16[")) {
    bit.field = field.starts_with("u32") ? SyncBit::Field::u32 : SyncBit::Field::u16;
    count = bit.field == SyncBit::Field::u32 ? 2 : 16;
    if (!field.ends_with("]") || !number(field.substr(4, field.size() - 5), bit.index)) return refuse("a bad field index");
  } else {
    return refuse("no such field");
  }
  if (bit.index < 0 || bit.index >= count) return refuse("the field index is out of range");
  if (bit.bit < 0 || bit.bit >= width_of(bit.field)) return refuse("the bit is out of the field's range");
  return bit;
}

std::string format_sync_bit(const SyncBit& bit) {
  switch (bit.field) {
    case SyncBit::Field::u64: return fmt::format("u64:{}", bit.bit);
    case SyncBit::Field::u32: return fmt::format("u32[{}]:{}", bit.index, bit.bit);
    case SyncBit::Field::u16: return fmt::format("u16[{}]:{}", bit.index, bit.bit);
  }
  return "?";
}

bool bit_of(const SyncBit& bit, const pelionp::io::IOFrame& frame) noexcept {
  switch (bit.field) {
    case SyncBit::Field::u64: return ((frame.value_u64 >> bit.bit) & 1u) != 0;
    case SyncBit::Field::u32: return ((frame.values_u32[bit.index] >> bit.bit) & 1u) != 0;
    case SyncBit::Field::u16: return ((frame.values_u16[bit.index] >> bit.bit) & 1u) != 0;
  }
  return false;
}

void SyncTrack::add(const pelionp::io::IOFrame& frame) {
  const bool value = bit_of(bit_, frame);
  {
    std::lock_guard lock(mutex_);
    if (newest_ && frame.timestamp < *newest_) return;  // NB: the board's clock started again; kept as it was
    newest_ = frame.timestamp;
    stalled_ = false;
    if (changes_.empty() || changes_.back().second != value) {
      changes_.emplace_back(frame.timestamp, value);
      if (changes_.size() > KEPT_CHANGES) changes_.pop_front();
    }
  }
  advanced_.notify_all();
}

bool SyncTrack::at(uint64_t timestamp) const {
  std::unique_lock lock(mutex_);
  if (!stalled_ && !advanced_.wait_for(lock, WAIT_LIMIT, [&] { return newest_ && *newest_ >= timestamp; })) {
    stalled_ = true;
    spdlog::warn("No IO frame for device time {} after {} ms: the sync column takes the newest IO frame's bit",
                 timestamp, WAIT_LIMIT.count());
  }
  if (changes_.empty()) return false;
  // The first change after `timestamp`; the one before it holds.
  auto after = std::ranges::upper_bound(changes_, timestamp, {}, [](const auto& c) { return c.first; });
  if (after == changes_.begin()) return changes_.front().second;
  return std::prev(after)->second;
}

std::expected<std::unique_ptr<IORecording>, std::string> IORecording::create(const spikeglx::Layout& layout,
                                                                             std::optional<SyncBit> sync_bit) {
  std::error_code ec;
  std::filesystem::create_directories(layout.run_directory(), ec);
  if (ec) return std::unexpected(fmt::format("Cannot create {}: {}", layout.run_directory().string(), ec.message()));
  const auto meta = with(layout.io_stem(), ".txt");
  if (std::filesystem::exists(meta, ec)) return std::unexpected(fmt::format("Cannot create {}: it already exists", meta.string()));
  auto bin = spikeglx::OutputFile::create(with(layout.io_stem(), ".bin"), BUFFER_BYTES);
  if (!bin) return std::unexpected(bin.error());
  std::unique_ptr<IORecording> recording(new IORecording(std::move(*bin), meta, sync_bit));
  if (auto r = recording->checkpoint(); !r) return std::unexpected(r.error());
  return recording;
}

IORecording::IORecording(spikeglx::OutputFile bin, std::filesystem::path meta, std::optional<SyncBit> sync_bit)
    : bin_(std::move(bin)), meta_path_(std::move(meta)), create_time_(spikeglx::local_time_now()), sync_bit_(sync_bit) {
  if (sync_bit) sync_.emplace(*sync_bit);
  last_checkpoint_ = std::chrono::steady_clock::now();
}

IORecording::~IORecording() {
  if (!closed_)
    if (auto r = close(); !r) spdlog::error("{}", r.error());
}

void IORecording::on_frame(const pelionp::io::IOFrame& frame) {
  if (sync_) sync_->add(frame);
  if (closed_ || !error_.empty()) return;
  IORecord record{.timestamp = frame.timestamp, .u64 = frame.value_u64, .u32 = {}, .u16 = {}};
  std::memcpy(record.u32, frame.values_u32, sizeof record.u32);
  std::memcpy(record.u16, frame.values_u16, sizeof record.u16);
  if (!first_timestamp_) first_timestamp_ = frame.timestamp;
  if (auto r = bin_.write(std::as_bytes(std::span(&record, 1))); !r) {
    error_ = r.error();
    spdlog::error("IO frames are no longer recorded: {}", error_);
    return;
  }
  frames_.fetch_add(1, std::memory_order_relaxed);
  if (const auto now = std::chrono::steady_clock::now(); now - last_checkpoint_ >= CHECKPOINT_PERIOD) {
    last_checkpoint_ = now;
    if (auto r = checkpoint(); !r) {
      error_ = r.error();
      spdlog::error("IO frames are no longer recorded: {}", error_);
    }
  }
}

std::expected<void, std::string> IORecording::checkpoint() {
  if (auto r = bin_.flush(); !r) return r;
  const uint64_t bytes = bin_.bytes_on_disk();
  std::string text;
  auto it = std::back_inserter(text);
  fmt::format_to(it, "fileCreateTime={}\n", create_time_);
  fmt::format_to(it, "fileName={}\n", spikeglx::meta_file_name(bin_.path().generic_string()));
  fmt::format_to(it, "fileSizeBytes={}\n", bytes);
  fmt::format_to(it, "firstTimestamp={}\n", first_timestamp_ ? fmt::format("{}", *first_timestamp_) : "");
  fmt::format_to(it, "frameCount={}\n", bytes / sizeof(IORecord));
  fmt::format_to(it, "numpyDtype={}\n", IO_NUMPY_DTYPE);
  fmt::format_to(it, "recordBytes={}\n", sizeof(IORecord));
  fmt::format_to(it, "syncBit={}\n", sync_bit_ ? format_sync_bit(*sync_bit_) : "none");
  fmt::format_to(it, "timestampRate={}\n", 30000);
  fmt::format_to(it, "typeThis=pelionpIO\n");
  return spikeglx::write_text_atomically(meta_path_, text);
}

std::expected<void, std::string> IORecording::close() {
  if (closed_) return {};
  std::expected<void, std::string> outcome;
  if (!error_.empty()) outcome = std::unexpected(error_);
  if (auto r = checkpoint(); !r && outcome) outcome = std::unexpected(r.error());
  closed_ = true;
  if (auto r = bin_.close(); !r && outcome) outcome = std::unexpected(r.error());
  return outcome;
}

}  // namespace pelionp::record::io
