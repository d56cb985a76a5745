#include "record/session/disk_room.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <system_error>

namespace pelionp::record {

std::string megabytes(uint64_t bytes) { return fmt::format("{:.1f} MB", static_cast<double>(bytes) / 1e6); }

DiskRoom::DiskRoom(std::filesystem::path folder, double bytes_per_second, uint64_t reserve_bytes)
    : folder_(std::move(folder)), bytes_per_second_(bytes_per_second), reserve_bytes_(reserve_bytes) {}

std::expected<uint64_t, std::string> DiskRoom::available(const std::filesystem::path& folder) {
  // NB: the run's folders may not exist yet; their disk is their parent's.
  std::filesystem::path at = folder;
  std::error_code ec;
  while (!at.empty() && !std::filesystem::exists(at, ec) && at.has_parent_path() && at.parent_path() != at)
    at = at.parent_path();
  const auto space = std::filesystem::space(at.empty() ? std::filesystem::path(".") : at, ec);
  if (ec) return std::unexpected(fmt::format("Cannot read the free space of {}: {}", folder.string(), ec.message()));
  return static_cast<uint64_t>(space.available);
}

std::expected<void, std::string> DiskRoom::check_fits(double seconds) const {
  auto free = available(folder_);
  if (!free) return std::unexpected(free.error());
  const auto needed = static_cast<uint64_t>(bytes_per_second_ * seconds) + reserve_bytes_;
  if (*free >= needed) return {};
  if (seconds <= 0)
    return std::unexpected(fmt::format("Not enough disk space in {}: {} free, {} must stay free", folder_.string(),
                                       megabytes(*free), megabytes(reserve_bytes_)));
  return std::unexpected(fmt::format("Not enough disk space in {} for {:.1f} s: {} needed ({} a second and {} kept "
                                     "free), {} free",
                                     folder_.string(), seconds, megabytes(needed),
                                     megabytes(static_cast<uint64_t>(bytes_per_second_)), megabytes(reserve_bytes_),
                                     megabytes(*free)));
}

std::optional<std::string> DiskRoom::look() {
  std::lock_guard lock(mutex_);
  if (stop_) return stop_;
  auto free = available(folder_);
  if (!free) {
    // NB: a disk whose space cannot be read is not stopped for; the writes
    // themselves still report a full disk.
    spdlog::warn("{}", free.error());
    return std::nullopt;
  }
  const uint64_t usable = *free > reserve_bytes_ ? *free - reserve_bytes_ : 0;
  const double minutes = static_cast<double>(usable) / bytes_per_second_ / 60.0;
  minutes_left_.store(minutes, std::memory_order_relaxed);
  if (usable == 0) {
    stop_ = fmt::format("the disk of {} is nearly full ({} free, {} kept for the files' last buffers): the run "
                        "stopped with its files closed",
                        folder_.string(), megabytes(*free), megabytes(reserve_bytes_));
    spdlog::error("Recording stopped: {}", *stop_);
    return stop_;
  }
  if (minutes < WARN_MINUTES && !warned_) {
    warned_ = true;
    spdlog::warn("{:.1f} minutes of disk left in {} ({} free at {} a second); the run stops before it is full",
                 minutes, folder_.string(), megabytes(*free), megabytes(static_cast<uint64_t>(bytes_per_second_)));
  }
  return std::nullopt;
}

std::optional<double> DiskRoom::minutes_left() const noexcept {
  const double m = minutes_left_.load(std::memory_order_relaxed);
  if (m < 0) return std::nullopt;
  return m;
}

}  // namespace pelionp::record
