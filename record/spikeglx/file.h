#pragma once
// A write-only file with its own large buffer. One owner thread; not
// thread-safe. Errors stick: after the first failed write every call reports
// the same message, so a writer loop can check once per batch.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "record/export.h"

namespace pelionp::record::spikeglx {

class PELIONP_RECORD_API OutputFile {
 public:
  // NB: 4 MiB buffers cost 12 MiB per NP1 probe but keep the write calls
  // at a few per second per file at 30 kHz x 385 channels.
  static constexpr size_t DEFAULT_BUFFER_BYTES = size_t{4} << 20;

  // Creates a new file; one that exists already is an error ("... already
  // exists"), never truncated.
  static std::expected<OutputFile, std::string> create(const std::filesystem::path& path,
                                                       size_t buffer_bytes = DEFAULT_BUFFER_BYTES);

  OutputFile(OutputFile&&) noexcept = default;
  OutputFile& operator=(OutputFile&&) noexcept = default;
  ~OutputFile();  // flushes and closes; a failure there is logged, not lost silently

  // Appends to the buffer; writes the buffer out when it is full.
  std::expected<void, std::string> write(std::span<const std::byte> bytes);
  // Room for `bytes` more bytes at the buffer's end, to fill in place; follow
  // with commit(bytes). Flushes first if the buffer cannot hold them.
  std::expected<std::byte*, std::string> reserve(size_t bytes);
  void commit(size_t bytes) noexcept { used_ += bytes; }

  // Overwrites bytes at an absolute offset (after a flush): for headers whose
  // content is known only at the end.
  std::expected<void, std::string> overwrite(uint64_t offset, std::span<const std::byte> bytes);

  std::expected<void, std::string> flush();
  // Flushes, closes and reports the outcome; the object is empty afterwards.
  std::expected<void, std::string> close();

  const std::filesystem::path& path() const noexcept { return path_; }
  uint64_t bytes_written() const noexcept { return written_ + used_; }
  // Bytes that reached the file (buffered bytes not counted).
  uint64_t bytes_on_disk() const noexcept { return written_; }
  bool is_open() const noexcept { return file_ != nullptr; }
  // The sticking error was a full disk (or quota).
  bool out_of_space() const noexcept { return out_of_space_; }

 private:
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  OutputFile(std::filesystem::path path, std::FILE* file, size_t buffer_bytes);
  std::expected<void, std::string> failed(std::string what);

  std::filesystem::path path_;
  std::unique_ptr<std::FILE, Closer> file_;
  // NB: allocated uninitialised at the first reserve: zeroing 4 MiB a file
  // at creation cost a run of many streams more than its writing did.
  std::unique_ptr<std::byte[]> buffer_;
  size_t capacity_ = 0;
  size_t used_ = 0;
  uint64_t written_ = 0;
  std::string error_;
  bool out_of_space_ = false;
};

}  // namespace pelionp::record::spikeglx
