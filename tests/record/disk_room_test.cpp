// A run on a disk too small for it, a real one: a small tmpfs mounted for
// the test (skipped where mounting is not permitted). A run with a length
// that would not fit is refused before anything is written; an unlimited
// run warns, then stops with its files closed and readable before the disk
// is full.

#ifdef __linux__

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "record/session/run.h"
#include "record/session/session.h"
#include "sim/rig.h"
#include "tests/support/log_capture.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"

// NB: last: it defines macros (BLOCK_SIZE, ...) that the headers above use as names.
#include <sys/mount.h>

namespace pelionp::record {
namespace {

using namespace std::chrono_literals;

// A tmpfs of `megabytes` at `path` while it lives.
class SmallDisk {
 public:
  SmallDisk(std::filesystem::path path, int megabytes) : path_(std::move(path)) {
    std::filesystem::create_directories(path_);
    const std::string options = fmt::format("size={}m", megabytes);
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0) mounted_ = true;
    else error_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string error_;
};

sim::Rig np2_rig() {
  sim::RigContents contents;
  contents.ports[1] = sim::NP2PortContents{.docks = {sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                                                     std::nullopt}};
  return sim::make_rig(contents, {.paced = false});
}

std::filesystem::path with(std::filesystem::path stem, const char* suffix) {
  stem += suffix;
  return stem;
}

TEST(RunDisk, ARunThatWouldNotFitIsRefusedAndAnUnlimitedOneStopsCleanlyBeforeTheDiskIsFull) {
  test::TempDir dir;
  SmallDisk disk(dir.path() / "disk", 48);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
  const auto rig = np2_rig();
  auto session = Session::open(rig.board);
  ASSERT_TRUE(session) << session.error();
  ASSERT_TRUE((*session)->detect());
  const spikeglx::Layout layout{disk.path(), "small"};

  // Ten seconds of one probe: 233 MB.
  auto refused = Run::create(**session, {.layout = layout, .ap_samples = 10 * 30000, .disk_margin_bytes = 4u << 20});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, RunErrorKind::disk_full);
  EXPECT_NE(refused.error().message.find(fmt::format("Not enough disk space in {} for 10.0 s: 250.2 MB needed ("
                                                     "23.3 MB a second and 16.8 MB kept free), ",
                                                     disk.path().string())),
            std::string::npos)
      << refused.error();
  EXPECT_TRUE(std::filesystem::is_empty(disk.path())) << "nothing was written";

  test::LogCapture log;
  auto created = Run::create(**session, {.layout = layout, .disk_margin_bytes = 4u << 20});
  ASSERT_TRUE(created) << created.error();
  auto& run = **created;
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait(60s)) << "the run did not stop";
  auto finished = run.finish();
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().kind, RunErrorKind::disk_full) << finished.error();
  EXPECT_NE(finished.error().message.find("is nearly full"), std::string::npos) << finished.error();
  EXPECT_EQ(log.count_containing("minutes of disk left in " + disk.path().string()), 1u) << "one warning";
  EXPECT_EQ(log.count_containing("Failed to"), 0u) << "no write met the full disk";
  ASSERT_TRUE(run.disk_minutes_left());
  EXPECT_EQ(*run.disk_minutes_left(), 0.0);
  EXPECT_GT(std::filesystem::space(disk.path()).available, 0u);

  // Closed and whole: the .meta states the .bin, a timestamp per row.
  const auto stem = layout.stream_stem(0, spikeglx::Band::ap);
  const auto bytes = std::filesystem::file_size(with(stem, ".bin"));
  EXPECT_GT(bytes, (16u << 20)) << "most of the disk was used";
  EXPECT_EQ(bytes % (spikeglx::SAVED_CHANNELS * 2), 0u);
  EXPECT_EQ(test::read_meta(with(stem, ".meta")).at("fileSizeBytes"), std::to_string(bytes));
  EXPECT_EQ(test::read_npy_u64(spikeglx::timestamps_path(stem)).size(), bytes / (spikeglx::SAVED_CHANNELS * 2));
}

}  // namespace
}  // namespace pelionp::record

#endif  // __linux__
