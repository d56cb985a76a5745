#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "record/spikeglx/file.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace pelionp::record::spikeglx {
namespace {

using test::read_file;
using test::TempDir;

constexpr size_t ROW = 770;  // a .bin row: 385 int16 values

void fill_rows(std::byte* at, uint64_t first, size_t rows) {
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < ROW / 2; ++c) {
      const auto v = static_cast<int16_t>((first + r) * 7 + c);
      std::memcpy(at + r * ROW + 2 * c, &v, 2);
    }
}

std::string expected_rows(uint64_t rows) {
  std::string bytes(rows * ROW, '\0');
  fill_rows(reinterpret_cast<std::byte*>(bytes.data()), 0, rows);
  return bytes;
}

// Whether files in `dir` take unbuffered writes, asked of the system directly.
bool takes_unbuffered_writes(const std::filesystem::path& dir) {
#ifdef _WIN32
  (void)dir;
  return true;
#else
  const auto probe = dir / "probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0644);
  if (fd >= 0) ::close(fd);
  std::filesystem::remove(probe);
  return fd >= 0;
#endif
}

struct Case {
  const char* name;
  PageCache page_cache;
  bool ram_folder;  // /dev/shm (tmpfs) rather than the temporary folder
};

// Rows reserved in blocks of every size the writers use (one row, a
// batch, a fill, more than the buffer holds), with a checkpoint now and
// then and a header rewritten: on disk there are only ever whole rows,
// after every flush exactly the rows written, and at the end the bytes in
// order whichever way the file was written.
TEST(OutputFile, HoldsWholeRowsAtEveryWriteAndExactlyTheRowsWrittenAfterEachFlush) {
  const Case cases[] = {
      {"past the page cache", PageCache::bypassed, false},
      {"through the page cache", PageCache::used, false},
      {"past the page cache on tmpfs", PageCache::bypassed, true},
  };
  const size_t blocks[] = {1, 384, 7, 1024, 3000, 385, 1, 2048, 12, 4096, 5000, 3};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temp;
    std::filesystem::path dir = temp.path();
    if (c.ram_folder) {
      std::error_code ec;
      if (!std::filesystem::is_directory("/dev/shm", ec)) continue;
      dir = std::filesystem::path("/dev/shm") / temp.path().filename();
      std::filesystem::create_directories(dir);
    }
    const auto path = dir / "t.bin";
    {
      // A small buffer: many writes out in a short test.
      auto file = OutputFile::create(path, {.buffer_bytes = 256 << 10, .page_cache = c.page_cache, .record_bytes = ROW});
      ASSERT_TRUE(file) << file.error();
      EXPECT_EQ(file->bypasses_page_cache(), c.page_cache == PageCache::bypassed && takes_unbuffered_writes(dir));
      uint64_t rows = 0;
      for (int round = 0; round < 3; ++round)
        for (size_t i = 0; i < std::size(blocks); ++i) {
          const size_t n = blocks[i];
          auto room = file->reserve(n * ROW);
          ASSERT_TRUE(room) << room.error();
          fill_rows(*room, rows, n);
          file->commit(n * ROW);
          rows += n;
          const auto on_disk = std::filesystem::file_size(path);
          ASSERT_EQ(on_disk % ROW, 0u) << "after " << rows << " rows";
          ASSERT_EQ(on_disk, file->bytes_on_disk());
          ASSERT_LE(on_disk, file->bytes_written());
          if (i % 4 == 3) {
            ASSERT_TRUE(file->flush());
            ASSERT_EQ(std::filesystem::file_size(path), rows * ROW) << "after a flush at " << rows << " rows";
            ASSERT_EQ(file->bytes_on_disk(), rows * ROW);
          }
        }
      // A header rewritten while the file's last stretch is still buffered
      // (and, bypassing, written out again later from the buffer).
      ASSERT_TRUE(file->flush());
      const std::string header(ROW, 'h');
      ASSERT_TRUE(file->overwrite(0, std::as_bytes(std::span(header))));
      const uint64_t last = rows * ROW - ROW;
      ASSERT_TRUE(file->overwrite(last, std::as_bytes(std::span(header))));
      ASSERT_TRUE(file->write(std::as_bytes(std::span(header))));
      ASSERT_TRUE(file->close());
      std::string expected = expected_rows(rows);
      expected.replace(0, ROW, header);
      expected.replace(last, ROW, header);
      expected += header;
      const std::string written = read_file(path);
      ASSERT_EQ(written.size(), expected.size());
      EXPECT_TRUE(written == expected) << "the bytes differ";
    }
    if (c.ram_folder) std::filesystem::remove_all(dir);
  }
}

}  // namespace
}  // namespace pelionp::record::spikeglx
