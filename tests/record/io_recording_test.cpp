// The board's IO frames recorded beside the probes: the IO file of a run on
// the simulated board holds every frame the board sent, in order, with the
// device timestamp it was sent at, and reads with the documented numpy
// dtype; a chosen IO bit reaches every probe file's sync column at each
// sample's device time.

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "record/io/io_recording.h"
#include "record/session/run.h"
#include "record/session/session.h"
#include "sim/headstages/placeholder_sources.h"
#include "sim/rig.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"

namespace pelionp::record {
namespace {

using namespace std::chrono_literals;

// The board's IO source (frame n carries u64 = n), keeping the timestamp
// each frame was sent at.
class SentFrames final : public sim::StreamSource {
 public:
  void append_tick(uint8_t sid, std::vector<uint8_t>& out) override { append_tick_at(sid, 0, out); }
  void append_tick_at(uint8_t sid, uint64_t timestamp, std::vector<uint8_t>& out) override {
    const auto before = out.size();
    inner_->append_tick_at(sid, timestamp, out);
    if (out.size() == before) return;
    std::lock_guard lock(mutex_);
    sent_.push_back(timestamp);
  }
  std::vector<uint64_t> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  std::shared_ptr<sim::StreamSource> inner_ = sim::make_placeholder_io_source();
  mutable std::mutex mutex_;
  std::vector<uint64_t> sent_;  // frame n's timestamp
};

std::filesystem::path with(std::filesystem::path stem, const char* suffix) {
  stem += suffix;
  return stem;
}

TEST(IoSyncBit, ParsesEveryFieldAndRefusesWhatIsOutOfRange) {
  for (const auto* text : {"u64:63", "u32[1]:31", "u16[15]:0"}) {
    auto bit = io::parse_sync_bit(text);
    ASSERT_TRUE(bit) << bit.error();
    EXPECT_EQ(io::format_sync_bit(*bit), text);
  }
  for (const auto* text : {"u64:64", "u32[2]:0", "u16[3]:16", "u16:3", "u8[0]:1", "u16[1]", "u16[x]:1"}) {
    auto bit = io::parse_sync_bit(text);
    ASSERT_FALSE(bit) << text;
    EXPECT_TRUE(bit.error().starts_with(fmt::format("Sync bit '{}': ", text))) << bit.error();
  }
}

TEST(RunIo, TheIoFileHoldsEveryFrameInOrderAndTheSyncBitReachesEveryProbeFile) {
  test::TempDir dir;
  sim::RigContents contents;
  contents.ports[0] = sim::NP1PortContents{};
  contents.ports[1] = sim::NP2PortContents{.docks = {sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                                                     std::nullopt}};
  auto rig = sim::make_rig(contents, {.paced = false});
  auto frames = std::make_shared<SentFrames>();
  rig.board->set_io_source(frames);
  auto session = Session::open(rig.board);
  ASSERT_TRUE(session) << session.error();
  ASSERT_TRUE((*session)->detect());
  // Bit 5 of the frame counter: it flips every 32 frames (32 ms).
  const SyncBit bit{.field = SyncBit::Field::u64, .index = 0, .bit = 5};
  constexpr uint64_t SAMPLES = 30000;
  const spikeglx::Layout layout{dir.path(), "io"};
  auto created = Run::create(**session, {.layout = layout, .ap_samples = SAMPLES, .sync_bit = bit});
  ASSERT_TRUE(created) << created.error();
  auto& run = **created;
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait(60s));
  // Everything the board had sent when the probes were done reaches the
  // file (but the frame the decoder synchronised on).
  const auto sent_by_then = frames->sent().size();
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (run.io_frames() + 1 < sent_by_then && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(run.finish());
  const auto sent = frames->sent();

  const auto bytes = test::read_file(with(layout.io_stem(), ".bin"));
  ASSERT_EQ(bytes.size() % sizeof(io::IORecord), 0u);
  std::vector<io::IORecord> records(bytes.size() / sizeof(io::IORecord));
  std::memcpy(records.data(), bytes.data(), bytes.size());
  ASSERT_GE(records.size() + 1, sent_by_then);
  EXPECT_EQ(records.front().u64, 1u) << "frame 0 synchronised the decoder";
  for (size_t k = 0; k < records.size(); ++k) {
    const auto& r = records[k];
    ASSERT_EQ(r.u64, k + 1) << "frame " << k << ": in order, none lost";
    ASSERT_LT(r.u64, sent.size());
    ASSERT_EQ(r.timestamp, sent[r.u64]) << "frame " << r.u64 << " keeps the timestamp it was sent at";
    ASSERT_EQ(r.u32[0] | r.u32[1], 0u);
  }
  const auto meta = test::read_meta(with(layout.io_stem(), ".txt"));
  EXPECT_EQ(meta.at("fileSizeBytes"), std::to_string(bytes.size()));
  EXPECT_EQ(meta.at("frameCount"), std::to_string(records.size()));
  EXPECT_EQ(meta.at("firstTimestamp"), std::to_string(records.front().timestamp));
  EXPECT_EQ(meta.at("numpyDtype"), io::IO_NUMPY_DTYPE);
  EXPECT_EQ(meta.at("syncBit"), "u64:5");

  // The sync column: the bit of the newest frame at or before each sample.
  auto bit_at = [&](uint64_t t) {
    const auto after = std::ranges::upper_bound(sent, t);
    if (after == sent.begin()) return false;
    return (((after - sent.begin() - 1) >> 5) & 1) != 0;
  };
  for (int n = 0; n < 2; ++n) {
    SCOPED_TRACE(fmt::format("imec{}", n));
    const auto stem = layout.stream_stem(n, spikeglx::Band::ap);
    EXPECT_EQ(test::read_meta(with(stem, ".meta")).at("pelionpSyncSource"), "bit 0: IO u64:5");
    const auto stamps = test::read_npy_u64(spikeglx::timestamps_path(stem));
    const auto values = test::read_int16(with(stem, ".bin"));
    ASSERT_EQ(stamps.size(), SAMPLES);
    ASSERT_GE(stamps.front(), sent.front()) << "the IO stream began with the probes or before";
    uint64_t wrong = 0, flips = 0;
    for (uint64_t i = 0; i < SAMPLES; ++i) {
      const int16_t sync = values[i * spikeglx::SAVED_CHANNELS + CHANNEL_COUNT];
      if (sync & spikeglx::SYNC_FILLED) continue;
      if (((sync & spikeglx::SYNC_BIT) != 0) != bit_at(stamps[i])) ++wrong;
      if (i > 0 && bit_at(stamps[i]) != bit_at(stamps[i - 1])) ++flips;
    }
    EXPECT_EQ(wrong, 0u) << "samples whose sync bit is not the IO bit at their time";
    EXPECT_GE(flips, 25u) << "a second holds 31 flips";
  }
}

}  // namespace
}  // namespace pelionp::record
