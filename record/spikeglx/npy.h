#pragma once
// A one-dimensional little-endian uint64 NPY (format 1.0) array written as
// it grows: the header is laid down at creation with room for any length and
// rewritten with the final length at close. One owner thread.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "record/spikeglx/file.h"

#include "record/export.h"

namespace pelionp::record::spikeglx {

// The complete header (magic, version, length, padded dictionary) for `count`
// elements; always NPY_HEADER_BYTES long, so a rewrite fits in place.
inline constexpr size_t NPY_HEADER_BYTES = 128;
PELIONP_RECORD_API std::string npy_uint64_header(uint64_t count);

class PELIONP_RECORD_API TimestampFile {
 public:
  static std::expected<TimestampFile, std::string> create(const std::filesystem::path& path);

  std::expected<void, std::string> append(std::span<const uint64_t> timestamps);
  // Room for `count` timestamps to fill in place (little-endian uint64,
  // perhaps unaligned); follow with commit(count).
  std::expected<std::byte*, std::string> reserve(size_t count) { return file_.reserve(count * sizeof(uint64_t)); }
  void commit(size_t count) noexcept {
    file_.commit(count * sizeof(uint64_t));
    count_ += count;
  }
  // Writes out what is buffered and the header with the length so far.
  std::expected<void, std::string> checkpoint();
  // Writes the final header and closes.
  std::expected<void, std::string> close();

  uint64_t count() const noexcept { return count_; }
  bool out_of_space() const noexcept { return file_.out_of_space(); }

 private:
  explicit TimestampFile(OutputFile file) : file_(std::move(file)) {}
  OutputFile file_;
  uint64_t count_ = 0;
};

}  // namespace pelionp::record::spikeglx
