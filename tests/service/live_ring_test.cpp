// The live rings: what a reader gets for each kind of request, after
// writes that wrap, leave gaps or begin the stream anew.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "pelionp/demux/byte_budget.h"
#include "service/events.h"
#include "service/live_ring.h"

namespace pelionp::service {
namespace {

// Rows whose value at (row r, channel c) is r * 10 + c (mod int16).
std::vector<int16_t> rows_from(uint64_t first, std::size_t rows, std::size_t channels) {
  std::vector<int16_t> out(rows * channels);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < channels; ++c) out[r * channels + c] = static_cast<int16_t>((first + r) * 10 + c);
  return out;
}

void write(LiveRing& ring, uint64_t first, std::size_t rows) {
  ring.write(first, rows, rows_from(first, rows, ring.channels()), 1000 + first);
}

TEST(LiveRing, ReadsAnswerEachKindOfRequest) {
  struct Case {
    const char* what;
    RingRequest request;
    // Expected: first index, rows, and the kind.
    uint64_t first;
    std::size_t rows;
    int kind;  // 0 block, 1 gone, 2 future
  };
  // A ring of 10 rows holding 15..24 after 25 rows written in blocks of 5.
  LiveRing ring(3, 10);
  for (uint64_t i = 0; i < 25; i += 5) write(ring, i, 5);
  const std::vector<Case> cases = {
      {"latest 4", RingRequest{std::nullopt, 4, {}, 1}, 21, 4, 0},
      {"latest more than kept", RingRequest{std::nullopt, 50, {}, 1}, 15, 10, 0},
      {"from the oldest", RingRequest{15, 3, {}, 1}, 15, 3, 0},
      {"past the newest: what there is", RingRequest{22, 10, {}, 1}, 22, 3, 0},
      {"at the next index: nothing yet", RingRequest{25, 10, {}, 1}, 25, 0, 0},
      {"left the ring", RingRequest{14, 3, {}, 1}, 0, 0, 1},
      {"far in the past", RingRequest{0, 3, {}, 1}, 0, 0, 1},
      {"later than the next", RingRequest{26, 3, {}, 1}, 0, 0, 2},
      {"far in the future", RingRequest{uint64_t{1} << 62, 3, {}, 1}, 0, 0, 2},
      {"decimated from a start", RingRequest{15, 10, {}, 4}, 15, 3, 0},
      {"decimated latest", RingRequest{std::nullopt, 2, {}, 4}, 17, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const RingRead read = ring.read(c.request);
    ASSERT_EQ(static_cast<int>(read.index()), c.kind);
    if (c.kind == 1) {
      EXPECT_EQ(std::get<RingGone>(read).extent.oldest, 15u);
    }
    if (c.kind == 2) {
      EXPECT_EQ(std::get<RingFuture>(read).extent.next, 25u);
    }
    if (c.kind != 0) continue;
    const auto& block = std::get<RingBlock>(read);
    EXPECT_EQ(block.first_index, c.first);
    ASSERT_EQ(block.rows, c.rows);
    ASSERT_EQ(block.samples.size(), c.rows * 3);
    for (std::size_t r = 0; r < block.rows; ++r)
      for (std::size_t ch = 0; ch < 3; ++ch)
        EXPECT_EQ(block.samples[r * 3 + ch], static_cast<int16_t>((c.first + r * c.request.decimation) * 10 + ch));
    if (block.rows > 0) {
      EXPECT_EQ(block.first_timestamp, 1000 + c.first);
    }
  }
}

TEST(LiveRing, ChannelSubsetsComeInTheAskedOrder) {
  LiveRing ring(4, 8);
  write(ring, 0, 2);
  const auto block = std::get<RingBlock>(ring.read({0, 2, {3, 0}, 1}));
  EXPECT_EQ(block.channels, (std::vector<int>{3, 0}));
  EXPECT_EQ(block.samples, (std::vector<int16_t>{3, 0, 13, 10}));
  EXPECT_THROW((void)ring.read({0, 2, {4}, 1}), std::out_of_range);
}

TEST(LiveRing, MinMaxBinsKeepTheSpikesThatPickingSkipsAndOnlyWholeBinsCome) {
  LiveRing ring(2, 64);
  std::vector<int16_t> rows(2 * 40, 0);
  rows[2 * 13 + 0] = 500;   // a spike on channel 0, between picked rows
  rows[2 * 26 + 1] = -300;  // a trough on channel 1
  ring.write(0, 40, rows, 1000);
  const auto picked = std::get<RingBlock>(ring.read({10, 5, {}, 10}));
  EXPECT_EQ(picked.samples, std::vector<int16_t>(2 * 3, 0)) << "rows 10, 20, 30 miss both";

  RingRequest binned{10, 5, {}, 10, Reduction::minmax};
  const auto block = std::get<RingBlock>(ring.read(binned));
  EXPECT_EQ(block.reduction, Reduction::minmax);
  EXPECT_EQ(block.first_index, 10u);
  ASSERT_EQ(block.rows, 3u);  // 10..39: the bin from 40 is not whole yet
  // Per bin: minima of channels 0, 1, then maxima.
  EXPECT_EQ(block.samples, (std::vector<int16_t>{0, 0, 500, 0, /**/ 0, -300, 0, 0, /**/ 0, 0, 0, 0}));
  EXPECT_EQ(block.first_timestamp, 1010u);

  binned.start = 35;  // less than a bin there
  EXPECT_EQ(std::get<RingBlock>(ring.read(binned)).rows, 0u);
  binned.start = std::nullopt;  // the latest whole bins end at the newest row
  binned.count = 2;
  const auto latest = std::get<RingBlock>(ring.read(binned));
  EXPECT_EQ(latest.first_index, 20u);
  EXPECT_EQ(latest.samples[1], -300);
}

TEST(LiveRing, AGapIsZerosAndAnEarlierBlockBeginsTheRingAnew) {
  LiveRing ring(2, 10);
  write(ring, 0, 2);
  write(ring, 5, 1);  // rows 2..4 missing
  auto block = std::get<RingBlock>(ring.read({0, 10, {}, 1}));
  ASSERT_EQ(block.rows, 6u);
  EXPECT_EQ(std::vector<int16_t>(block.samples.begin() + 4, block.samples.begin() + 10), std::vector<int16_t>(6, 0));
  EXPECT_EQ(block.samples[10], 50);
  write(ring, 3, 1);  // the stream began anew
  EXPECT_EQ(ring.extent().oldest, 3u);
  EXPECT_EQ(ring.extent().next, 4u);
  write(ring, 100, 2);  // a gap longer than the ring
  EXPECT_EQ(ring.extent().oldest, 100u);
  ring.reset();
  EXPECT_EQ(ring.extent().next, 0u);
  EXPECT_EQ(std::get<RingBlock>(ring.read({std::nullopt, 5, {}, 1})).rows, 0u);
}

TEST(LiveRing, ABlockLongerThanTheRingKeepsItsEnd) {
  LiveRing ring(1, 4);
  write(ring, 0, 10);
  const auto block = std::get<RingBlock>(ring.read({std::nullopt, 10, {}, 1}));
  EXPECT_EQ(block.first_index, 6u);
  EXPECT_EQ(block.samples, (std::vector<int16_t>{60, 70, 80, 90}));
}

TEST(LiveRing, AWaitingReaderIsWokenByTheRowsItWants) {
  LiveRing ring(1, 100);
  write(ring, 0, 5);
  std::thread writer([&] {
    for (uint64_t i = 5; i < 50; i += 5) write(ring, i, 5);
  });
  // From the next row on (a later start is not there yet). Generous
  // deadline: the writer's rows end the wait, not the clock.
  const auto read = ring.wait_and_read({5, 45, {}, 1}, std::chrono::seconds(30));
  writer.join();
  const auto& block = std::get<RingBlock>(read);
  EXPECT_EQ(block.rows, 45u);
  EXPECT_EQ(block.samples.front(), 50);
  EXPECT_EQ(block.samples.back(), 490);
}

TEST(EventHub, ReadersGetWhatCameAfterTheirLastAndNothingOnceClosed) {
  EventHub hub(3);
  for (int i = 0; i < 5; ++i) hub.publish("state", {{"n", i}});
  const auto kept = hub.after(0, std::chrono::milliseconds(0));
  ASSERT_EQ(kept.size(), 3u);  // the history keeps the last three
  EXPECT_EQ(kept.front().id, 3u);
  EXPECT_EQ(hub.after(4, std::chrono::milliseconds(0)).size(), 1u);
  std::thread closer([&] { hub.close(); });
  EXPECT_TRUE(hub.after(5, std::chrono::seconds(30)).empty());
  closer.join();
  EXPECT_TRUE(hub.closed());
}

}  // namespace
}  // namespace pelionp::service


namespace pelionp::service {
namespace {

// The rings' memory is part of the data path's byte bound: what a ring
// holds leaves that much less for queued data, and comes back when it goes.
TEST(LiveRing, ItsMemoryCountsInTheDataPathBudgetWhileItLives) {
  auto& budget = demux::data_path_budget();
  const std::size_t before = budget.used_approx();
  {
    LiveRing ring(384, 30000);
    EXPECT_EQ(budget.used_approx() - before, ring.bytes());
    EXPECT_EQ(ring.bytes(), 384u * 30000u * sizeof(int16_t) + 30000u * sizeof(uint64_t));
  }
  EXPECT_EQ(budget.used_approx(), before);
}

}  // namespace
}  // namespace pelionp::service
