// Writers agreeing on where a run's files begin.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "record/session/run_start.h"

namespace pelionp::record {
namespace {

const auto FAR = std::chrono::minutes(10);

TEST(RunStart, EveryWriterGetsTheLatestFirstTimestamp) {
  RunStart start(3, std::nullopt);
  std::vector<uint64_t> agreed(3);
  const uint64_t first[] = {90, 3000, 1200};
  std::vector<std::thread> writers;
  for (int n = 0; n < 3; ++n)
    writers.emplace_back([&, n] { agreed[n] = start.agree(first[n], FAR); });
  for (auto& t : writers) t.join();
  EXPECT_EQ(agreed, (std::vector<uint64_t>{3000, 3000, 3000}));
  EXPECT_EQ(start.decided_approx(), 3000u);
  EXPECT_EQ(start.agree(12, FAR), 3000u) << "decided once";
}

TEST(RunStart, AFixedStartIsKeptWhateverTheWritersReport) {
  RunStart start(2, 600);
  EXPECT_EQ(start.agree(9000, FAR), 600u);
  EXPECT_EQ(start.agree(30, FAR), 600u);
}

TEST(RunStart, AWriterWhoseStreamNeverBeganDoesNotHoldTheOthersOnceTheStreamsStarted) {
  RunStart start(2, std::nullopt);
  start.streams_started();
  EXPECT_EQ(start.agree(450, std::chrono::seconds(0)), 450u);
  EXPECT_EQ(start.agree(9000, FAR), 450u) << "the late stream starts after the run";
}

TEST(RunStart, CancellingEndsTheWaitWithWhatWasReported) {
  RunStart start(2, std::nullopt);
  uint64_t agreed = 0;
  std::thread writer([&] { agreed = start.agree(777, FAR); });
  start.cancel();
  writer.join();
  EXPECT_EQ(agreed, 777u);
}

}  // namespace
}  // namespace pelionp::record
