#include "record/spikeglx/file.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace pelionp::record::spikeglx {

std::expected<OutputFile, std::string> OutputFile::create(const std::filesystem::path& path, size_t buffer_bytes) {
  // NB: created exclusively, so that a recording never truncates another.
#ifdef _WIN32
  // The wide name: paths outside the ANSI code page open as they are.
  const int fd = ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
#endif
  if (fd < 0) {
    if (errno == EEXIST) return std::unexpected(fmt::format("Cannot create {}: it already exists", path.string()));
    return std::unexpected(fmt::format("Cannot create {}: {}", path.string(), std::strerror(errno)));
  }
#ifdef _WIN32
  std::FILE* f = ::_fdopen(fd, "wb");
#else
  std::FILE* f = ::fdopen(fd, "wb");
#endif
  if (f == nullptr) {
    const int e = errno;
#ifdef _WIN32
    ::_close(fd);
#else
    ::close(fd);
#endif
    return std::unexpected(fmt::format("Cannot open {}: {}", path.string(), std::strerror(e)));
  }
  // Our buffer is the only one: stdio's own would copy every byte twice.
  std::setvbuf(f, nullptr, _IONBF, 0);
  return OutputFile(path, f, buffer_bytes);
}

OutputFile::OutputFile(std::filesystem::path path, std::FILE* file, size_t buffer_bytes)
    : path_(std::move(path)), file_(file), capacity_(buffer_bytes) {}

OutputFile::~OutputFile() {
  if (!file_) return;
  if (auto closed = close(); !closed) spdlog::error("{}", closed.error());
}

std::expected<void, std::string> OutputFile::failed(std::string what) {
  const int e = errno;
#ifdef EDQUOT
  out_of_space_ = e == ENOSPC || e == EDQUOT;
#else
  out_of_space_ = e == ENOSPC;
#endif
  error_ = fmt::format("Failed to {} {}: {}", what, path_.string(), std::strerror(e));
  return std::unexpected(error_);
}

std::expected<void, std::string> OutputFile::flush() {
  if (!error_.empty()) return std::unexpected(error_);
  if (used_ == 0) return {};
  if (std::fwrite(buffer_.get(), 1, used_, file_.get()) != used_) return failed("write");
  written_ += used_;
  used_ = 0;
  return {};
}

std::expected<std::byte*, std::string> OutputFile::reserve(size_t bytes) {
  if (!error_.empty()) return std::unexpected(error_);
  if (capacity_ - used_ < bytes) {
    if (auto ok = flush(); !ok) return std::unexpected(ok.error());
    if (capacity_ < bytes) {
      capacity_ = bytes;
      buffer_.reset();
    }
  }
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::byte[]>(capacity_);
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
#ifdef _WIN32
  // NB: long is 32 bits on Windows; recordings pass 2 GiB.
  if (::_fseeki64(file_.get(), static_cast<__int64>(offset), SEEK_SET) != 0) return failed("seek in");
#else
  if (std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0) return failed("seek in");
#endif
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) return failed("write");
  if (std::fseek(file_.get(), 0, SEEK_END) != 0) return failed("seek in");
  return {};
}

std::expected<void, std::string> OutputFile::close() {
  if (!file_) return std::unexpected(fmt::format("{} is already closed", path_.string()));
  auto flushed = flush();
  std::FILE* f = file_.release();
  const bool closed = std::fclose(f) == 0;
  if (!flushed) return flushed;
  if (!closed) return failed("close");
  return {};
}

}  // namespace pelionp::record::spikeglx
