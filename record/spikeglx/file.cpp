#include "record/spikeglx/file.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pelionp::record::spikeglx {

namespace {

// What unbuffered writes are aligned to where the file system does not say:
// a multiple of every sector and block size in use.
constexpr size_t DEFAULT_ALIGNMENT = 4096;
// Room beyond the point where a bypassing buffer is written out: a
// reservation that crosses it still fits, and what it leaves past the last
// whole unit moves to the buffer's front (a small copy).
constexpr size_t BYPASS_SLACK = size_t{1} << 20;
// A single write call never asks for more (Windows takes 32-bit lengths); a
// multiple of every alignment.
constexpr size_t MAX_WRITE = size_t{1} << 30;

}  // namespace

#ifdef _WIN32

// The file as created (through the cache) and, when bypassing, a second
// handle without buffering: Windows cannot switch a handle between the two.
struct OutputFile::Native {
  HANDLE cached = INVALID_HANDLE_VALUE;
  HANDLE direct = INVALID_HANDLE_VALUE;
};

void OutputFile::NativeCloser::operator()(Native* native) const noexcept {
  if (native->direct != INVALID_HANDLE_VALUE) ::CloseHandle(native->direct);
  if (native->cached != INVALID_HANDLE_VALUE) ::CloseHandle(native->cached);
  delete native;
}

namespace {

std::error_code last_error() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

bool is_out_of_space(std::error_code e) {
  return e.category() == std::system_category() && (e.value() == ERROR_DISK_FULL || e.value() == ERROR_HANDLE_DISK_FULL);
}

// A file system refusing an unbuffered write (its alignment, or at all).
bool is_refusal(std::error_code e) { return e.category() == std::system_category() && e.value() == ERROR_INVALID_PARAMETER; }

// NB: both handles share writing, as each must allow the other.
constexpr DWORD SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

#else

struct OutputFile::Native {
  int fd = -1;
  bool direct = false;  // O_DIRECT is set on fd now
};

void OutputFile::NativeCloser::operator()(Native* native) const noexcept {
  if (native->fd >= 0) ::close(native->fd);
  delete native;
}

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

bool is_out_of_space(std::error_code e) {
#ifdef EDQUOT
  return e == std::errc::no_space_on_device || e.value() == EDQUOT;
#else
  return e == std::errc::no_space_on_device;
#endif
}

// A file system refusing an unbuffered write (its alignment, or at all).
bool is_refusal(std::error_code e) { return e == std::errc::invalid_argument; }

std::error_code set_direct(OutputFile::Native& native, bool on) {
  if (native.direct == on) return {};
  const int flags = ::fcntl(native.fd, F_GETFL);
  if (flags < 0 || ::fcntl(native.fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) != 0) return last_error();
  native.direct = on;
  return {};
}

}  // namespace

#endif

namespace {

#ifdef _WIN32
std::error_code write_at(OutputFile::Native& native, uint64_t offset, const std::byte* data, size_t bytes, bool direct) {
  HANDLE handle = direct ? native.direct : native.cached;
  while (bytes > 0) {
    const DWORD ask = static_cast<DWORD>(std::min(bytes, MAX_WRITE));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    if (!::WriteFile(handle, data, ask, &done, &at)) return last_error();
    if (done == 0) return {ERROR_WRITE_FAULT, std::system_category()};
    data += done;
    offset += done;
    bytes -= done;
  }
  return {};
}
#else
std::error_code write_at(OutputFile::Native& native, uint64_t offset, const std::byte* data, size_t bytes, bool direct) {
  if (auto e = set_direct(native, direct)) return e;
  while (bytes > 0) {
    const ssize_t done = ::pwrite(native.fd, data, std::min(bytes, MAX_WRITE), static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    // NB: a short unbuffered write leaves the rest unaligned; the next call
    // of this loop then fails and the file falls back to buffered writes.
    data += done;
    offset += static_cast<uint64_t>(done);
    bytes -= static_cast<size_t>(done);
  }
  return {};
}
#endif

// The alignment unbuffered writes of this file need; 0: the file system
// does not take them.
size_t direct_alignment(OutputFile::Native& native) {
#ifdef _WIN32
  (void)native;
  return DEFAULT_ALIGNMENT;
#else
#ifdef STATX_DIOALIGN
  struct statx info {};
  if (::statx(native.fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &info) == 0 && (info.stx_mask & STATX_DIOALIGN) != 0) {
    if (info.stx_dio_offset_align == 0) return 0;
    return std::max<size_t>({info.stx_dio_offset_align, info.stx_dio_mem_align, 512});
  }
#endif
  return DEFAULT_ALIGNMENT;
#endif
}

std::byte* allocate_aligned(size_t bytes) {
  return static_cast<std::byte*>(::operator new(bytes, std::align_val_t{DEFAULT_ALIGNMENT}));
}

}  // namespace

void OutputFile::AlignedFree::operator()(std::byte* p) const noexcept {
  ::operator delete(p, std::align_val_t{DEFAULT_ALIGNMENT});
}

std::expected<OutputFile, std::string> OutputFile::create(const std::filesystem::path& path, FileOptions options) {
  std::unique_ptr<Native, NativeCloser> native(new Native);
  // NB: created exclusively, so that a recording never truncates another.
#ifdef _WIN32
  // The wide name: paths outside the ANSI code page open as they are.
  native->cached =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, SHARING, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (native->cached == INVALID_HANDLE_VALUE) {
    const auto e = last_error();
    if (e.value() == ERROR_FILE_EXISTS || e.value() == ERROR_ALREADY_EXISTS)
      return std::unexpected(fmt::format("Cannot create {}: it already exists", path.string()));
    return std::unexpected(fmt::format("Cannot create {}: {}", path.string(), e.message()));
  }
#else
  native->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (native->fd < 0) {
    if (errno == EEXIST) return std::unexpected(fmt::format("Cannot create {}: it already exists", path.string()));
    return std::unexpected(fmt::format("Cannot create {}: {}", path.string(), std::strerror(errno)));
  }
#endif
  return OutputFile(path, std::move(native), options);
}

OutputFile::OutputFile(std::filesystem::path path, std::unique_ptr<Native, NativeCloser> native, FileOptions options)
    : path_(std::move(path)), native_(std::move(native)), capacity_(options.buffer_bytes) {
  if (options.page_cache != PageCache::bypassed) return;
  const size_t alignment = direct_alignment(*native_);
  std::error_code refused;
  if (alignment == 0) {
    refused = std::make_error_code(std::errc::invalid_argument);
  } else {
#ifdef _WIN32
    native_->direct = ::CreateFileW(path_.c_str(), GENERIC_WRITE, SHARING, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr);
    if (native_->direct == INVALID_HANDLE_VALUE) refused = last_error();
#else
    refused = set_direct(*native_, true);
#endif
  }
  if (refused) {
    spdlog::info("{}: the file system takes no unbuffered writes ({}); writing through the page cache", path_.string(),
                 refused.message());
    return;
  }
  // A multiple of both the alignment and the record: every unbuffered write
  // ends on a record.
  unit_ = std::lcm(alignment, std::max<size_t>(options.record_bytes, 1));
  flush_at_ = std::max<size_t>(1, options.buffer_bytes / unit_) * unit_;
  capacity_ = flush_at_ + BYPASS_SLACK;
}

OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;

OutputFile::~OutputFile() {
  if (!native_) return;
  if (auto closed = close(); !closed) spdlog::error("{}", closed.error());
}

std::expected<void, std::string> OutputFile::failed(std::string what, std::error_code error) {
  out_of_space_ = is_out_of_space(error);
  error_ = fmt::format("Failed to {} {}: {}", what, path_.string(), error.message());
  return std::unexpected(error_);
}

void OutputFile::stop_bypassing(std::error_code why) {
  spdlog::info("{}: the file system refused an unbuffered write ({}); writing through the page cache from here on",
               path_.string(), why.message());
  unit_ = 1;
  flush_at_ = 0;
}

std::expected<void, std::string> OutputFile::write_units() {
  const size_t whole = used_ / unit_ * unit_;
  if (whole == 0) return {};
  if (auto e = write_at(*native_, base_, buffer_.get(), whole, true)) {
    // NB: EINVAL is the file system refusing this alignment or unbuffered
    // writes at all (a network or FUSE mount); the bytes go buffered.
    if (!is_refusal(e)) return failed("write", e);
    stop_bypassing(e);
    return flush();
  }
  on_disk_ = std::max(on_disk_, base_ + whole);
  base_ += whole;
  used_ -= whole;
  std::memmove(buffer_.get(), buffer_.get() + whole, used_);
  return {};
}

std::expected<void, std::string> OutputFile::flush() {
  if (!error_.empty()) return std::unexpected(error_);
  if (used_ == 0) return {};
  if (unit_ > 1) {
    if (auto ok = write_units(); !ok) return ok;
    if (used_ == 0 || unit_ == 1) return {};
    // The tail, less than a unit: through the page cache, and kept, so that
    // the next unbuffered write begins on the unit it is part of.
    if (auto e = write_at(*native_, base_, buffer_.get(), used_, false)) return failed("write", e);
    on_disk_ = std::max(on_disk_, base_ + used_);
    return {};
  }
  if (auto e = write_at(*native_, base_, buffer_.get(), used_, false)) return failed("write", e);
  base_ += used_;
  on_disk_ = base_;
  used_ = 0;
  return {};
}

std::expected<std::byte*, std::string> OutputFile::reserve(size_t bytes) {
  if (!error_.empty()) return std::unexpected(error_);
  const bool due = unit_ > 1 && used_ >= flush_at_;
  if (due || capacity_ - used_ < bytes) {
    auto ok = unit_ > 1 ? write_units() : flush();
    if (!ok) return std::unexpected(ok.error());
    if (capacity_ - used_ < bytes) {
      // A reservation larger than the buffer: a buffer that holds it, with
      // what is kept from before.
      capacity_ = used_ + bytes + (unit_ > 1 ? unit_ : 0);
      if (buffer_) {
        std::unique_ptr<std::byte[], AlignedFree> larger(allocate_aligned(capacity_));
        std::memcpy(larger.get(), buffer_.get(), used_);
        buffer_ = std::move(larger);
      }
    }
  }
  if (!buffer_) buffer_.reset(allocate_aligned(capacity_));
  return buffer_.get() + used_;
}

std::expected<void, std::string> OutputFile::write(std::span<const std::byte> bytes) {
  auto room = reserve(bytes.size());
  if (!room) return std::unexpected(room.error());
  std::memcpy(*room, bytes.data(), bytes.size());
  commit(bytes.size());
  return {};
}

std::expected<void, std::string> OutputFile::overwrite(uint64_t offset, std::span<const std::byte> bytes) {
  if (auto ok = flush(); !ok) return ok;
  if (offset + bytes.size() > bytes_written())
    return std::unexpected(fmt::format("Cannot overwrite {} bytes at {} of {}: it holds {}", bytes.size(), offset,
                                       path_.string(), bytes_written()));
  // NB: through the page cache: headers are small and seldom rewritten.
  if (auto e = write_at(*native_, offset, bytes.data(), bytes.size(), false)) return failed("write", e);
  // Bypassing, the buffer's kept tail is written again from the buffer: the
  // overwritten bytes must be there too.
  if (offset + bytes.size() > base_) {
    const uint64_t from = std::max(offset, base_);
    std::memcpy(buffer_.get() + (from - base_), bytes.data() + (from - offset), offset + bytes.size() - from);
  }
  return {};
}

std::expected<void, std::string> OutputFile::close() {
  if (!native_) return std::unexpected(fmt::format("{} is already closed", path_.string()));
  auto flushed = flush();
#ifdef _WIN32
  Native* native = native_.release();
  bool closed = true;
  std::error_code why;
  for (HANDLE* h : {&native->direct, &native->cached}) {
    if (*h == INVALID_HANDLE_VALUE) continue;
    if (!::CloseHandle(*h) && closed) {
      closed = false;
      why = last_error();
    }
    *h = INVALID_HANDLE_VALUE;
  }
  delete native;
#else
  Native* native = native_.release();
  const bool closed = ::close(native->fd) == 0;
  const std::error_code why = closed ? std::error_code{} : last_error();
  native->fd = -1;
  delete native;
#endif
  buffer_.reset();
  if (!flushed) return flushed;
  if (!closed) return failed("close", why);
  return {};
}

}  // namespace pelionp::record::spikeglx
