#pragma once
// A write-only file with its own large buffer. One owner thread; not
// thread-safe. Errors stick: after the first failed write every call reports
// the same message, so a writer loop can check once per batch.
//
// Past the page cache: a file created with `PageCache::bypassed` is written
// with unbuffered I/O (O_DIRECT on Linux, FILE_FLAG_NO_BUFFERING on
// Windows) from an aligned buffer, so the kernel moves the bytes to the
// disk without first copying them into its cache. Such writes must begin
// and end on the file system's alignment; each one also ends on a whole
// record (`record_bytes`), so the file on disk always holds whole records.
// The last, unaligned stretch is written through the page cache by `flush`
// (at a checkpoint and at close) and kept in the buffer, whose next aligned
// write covers it again: after a flush the file's size is exactly the bytes
// written. A file system that refuses unbuffered I/O (at the open or at a
// write) gets buffered writes, said once in the log.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "record/export.h"

namespace pelionp::record::spikeglx {

enum class PageCache : uint8_t { used, bypassed };

struct PELIONP_RECORD_API FileOptions {
  // NB: 4 MiB buffers cost 12 MiB per NP1 probe but keep the write calls
  // at a few per second per file at 30 kHz x 385 channels.
  size_t buffer_bytes = size_t{4} << 20;
  PageCache page_cache = PageCache::used;
  // Bypassed: the size of the records the file is made of (a .bin's row);
  // no write out ends inside one.
  size_t record_bytes = 1;
};

class PELIONP_RECORD_API OutputFile {
 public:
  static constexpr size_t DEFAULT_BUFFER_BYTES = FileOptions{}.buffer_bytes;

  // Creates a new file; one that exists already is an error ("... already
  // exists"), never truncated.
  static std::expected<OutputFile, std::string> create(const std::filesystem::path& path, FileOptions options);
  static std::expected<OutputFile, std::string> create(const std::filesystem::path& path,
                                                       size_t buffer_bytes = DEFAULT_BUFFER_BYTES) {
    return create(path, FileOptions{.buffer_bytes = buffer_bytes});
  }

  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  ~OutputFile();  // flushes and closes; a failure there is logged, not lost silently

  // Appends to the buffer; writes the buffer out when it is full.
  std::expected<void, std::string> write(std::span<const std::byte> bytes);
  // Room for `bytes` more bytes at the buffer's end, to fill in place; follow
  // with commit(bytes). Writes out the buffer first if it cannot hold them.
  std::expected<std::byte*, std::string> reserve(size_t bytes);
  void commit(size_t bytes) noexcept { used_ += bytes; }

  // Overwrites bytes at an absolute offset (after a flush): for headers whose
  // content is known only at the end.
  std::expected<void, std::string> overwrite(uint64_t offset, std::span<const std::byte> bytes);

  // Writes out everything buffered: afterwards the file holds bytes_written().
  std::expected<void, std::string> flush();
  // Flushes, closes and reports the outcome; the object is empty afterwards.
  std::expected<void, std::string> close();

  const std::filesystem::path& path() const noexcept { return path_; }
  uint64_t bytes_written() const noexcept { return base_ + used_; }
  // Bytes that reached the file (buffered bytes not counted).
  uint64_t bytes_on_disk() const noexcept { return on_disk_; }
  bool is_open() const noexcept { return native_ != nullptr; }
  // The writes go past the page cache (asked for, and the file system allows it).
  bool bypasses_page_cache() const noexcept { return unit_ > 1; }
  // The sticking error was a full disk (or quota).
  bool out_of_space() const noexcept { return out_of_space_; }

 public:
  struct Native;  // the platform's handle(s); opaque

 private:
  struct NativeCloser {
    void operator()(Native* native) const noexcept;
  };
  struct AlignedFree {
    void operator()(std::byte* p) const noexcept;
  };
  OutputFile(std::filesystem::path path, std::unique_ptr<Native, NativeCloser> native, FileOptions options);
  std::expected<void, std::string> failed(std::string what, std::error_code error);
  // Writes the buffer's whole units out (unbuffered) and moves the rest to its front.
  std::expected<void, std::string> write_units();
  // Falls back to buffered writes for good.
  void stop_bypassing(std::error_code why);

  std::filesystem::path path_;
  std::unique_ptr<Native, NativeCloser> native_;
  // NB: allocated uninitialised at the first reserve: zeroing 4 MiB a file
  // at creation cost a run of many streams more than its writing did.
  std::unique_ptr<std::byte[], AlignedFree> buffer_;
  size_t capacity_ = 0;
  // Bypassed: the buffer is written out once it holds this many bytes (whole units).
  size_t flush_at_ = 0;
  size_t used_ = 0;
  // The file offset of buffer_[0]; bypassed, a multiple of unit_.
  uint64_t base_ = 0;
  uint64_t on_disk_ = 0;
  // Bypassed: every unbuffered write is whole units of this many bytes (a
  // multiple of the alignment and of the record); 1: buffered writes.
  size_t unit_ = 1;
  std::string error_;
  bool out_of_space_ = false;
};

}  // namespace pelionp::record::spikeglx
