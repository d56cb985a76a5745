// Time kept in place under the simulated board's faults: after a headstage
// unplug, a host queue that fills while its consumer stalls, and decoder
// resyncs from corrupted or dropped words, every probe's file holds exactly
// the samples its device time spans (sample i is device time t0 + i), the
// filled rows are the .meta's gap list, and each gap names its fault.

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "record/session/run.h"
#include "record/session/session.h"
#include "sim/line_faults.h"
#include "sim/rig.h"
#include "tests/support/log_capture.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"

namespace pelionp::record {
namespace {

using namespace std::chrono_literals;

// Wraps a source and keeps the timestamp of the last tick the board asked
// it for: the board's clock, read by the test.
class BoardClock final : public sim::StreamSource {
 public:
  explicit BoardClock(std::shared_ptr<sim::StreamSource> inner) : inner_(std::move(inner)) {}
  void append_tick(uint8_t sid, std::vector<uint8_t>& out) override { inner_->append_tick(sid, out); }
  void append_tick_at(uint8_t sid, uint64_t timestamp, std::vector<uint8_t>& out) override {
    now_.store(timestamp, std::memory_order_relaxed);
    inner_->append_tick_at(sid, timestamp, out);
  }
  uint64_t now() const { return now_.load(std::memory_order_relaxed); }

 private:
  std::shared_ptr<sim::StreamSource> inner_;
  std::atomic<uint64_t> now_{0};
};

// The tool's default rig, unpaced (board time runs as fast as the library
// takes it), every probe's line wrapped in LineFaults and port 0's NP1
// probe read as the board's clock.
struct FaultRig {
  sim::Rig rig;
  std::map<std::pair<int, int>, std::shared_ptr<sim::LineFaults>> lines;  // (port, dock)
  std::shared_ptr<BoardClock> clock;

  FaultRig() {
    sim::RigContents contents;
    contents.ports[0] = sim::NP1PortContents{};
    contents.ports[1] = sim::NP2PortContents{.docks = {sim::NP2DockContents{.probe_pn = "NP2003", .serial = std::nullopt},
                                                       sim::NP2DockContents{.probe_pn = "NP2014", .serial = std::nullopt}}};
    rig = sim::make_rig(contents, {.paced = false});
    for (int port = 0; port < 2; ++port)
      for (int slot = 0; slot < 2; ++slot) {
        auto& headstage = rig.ports[static_cast<size_t>(port)].headstage;
        auto source = headstage->stream_source(slot);
        if (!source) continue;
        if (port == 0) source = clock = std::make_shared<BoardClock>(source);
        auto line = std::make_shared<sim::LineFaults>(source);
        headstage->set_stream_source(slot, line);
        lines[{port, slot}] = line;
      }
  }
};

// Polls `done` until it holds or a generous deadline passes.
template <class F>
bool eventually(F done, std::chrono::seconds deadline = 60s) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

StreamCounters counters_of(const ProbeHandle& probe) {
  return std::visit([](auto* p) { return p->stream().counters(); }, probe.probe);
}

std::filesystem::path with(std::filesystem::path stem, const char* suffix) {
  stem += suffix;
  return stem;
}

std::vector<spikeglx::Gap> parse_gaps(const std::string& text) {
  std::vector<spikeglx::Gap> gaps;
  static const std::regex one(R"(\((\d+),(\d+),([a-z_]+)\))");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), one); it != std::sregex_iterator(); ++it)
    gaps.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]), (*it)[3]});
  EXPECT_EQ(std::regex_replace(text, one, ""), "") << "pelionpGaps=" << text;
  return gaps;
}

// Checks one probe's AP (and NP1 LF) files: `samples` rows, sample i of
// device time t0 + i, the filled rows exactly the listed gaps. Returns the
// gaps after the run's start (a stream that began late aside), and t0.
struct Checked {
  uint64_t t0 = 0;
  std::vector<spikeglx::Gap> gaps;
};

Checked check_files(const spikeglx::Layout& layout, int n, bool np1, uint64_t samples) {
  Checked out;
  SCOPED_TRACE(fmt::format("imec{}", n));
  const auto stem = layout.stream_stem(n, spikeglx::Band::ap);
  const auto stamps = test::read_npy_u64(spikeglx::timestamps_path(stem));
  EXPECT_EQ(stamps.size(), samples);
  if (stamps.size() != samples) return out;
  out.t0 = stamps.front();
  for (uint64_t i = 0; i < samples; ++i)
    if (stamps[i] != out.t0 + i) {
      ADD_FAILURE() << "timestamp " << i << " is " << stamps[i] << ", not " << out.t0 + i;
      break;
    }
  const auto meta = test::read_meta(with(stem, ".meta"));
  EXPECT_EQ(meta.at("firstSample"), std::to_string(out.t0));
  EXPECT_EQ(meta.at("fileSizeBytes"), std::to_string(samples * spikeglx::SAVED_CHANNELS * 2));
  const auto gaps = parse_gaps(meta.at("pelionpGaps"));

  const auto values = test::read_int16(with(stem, ".bin"));
  EXPECT_EQ(values.size(), samples * spikeglx::SAVED_CHANNELS);
  if (values.size() != samples * spikeglx::SAVED_CHANNELS) return out;
  auto filled = [&](uint64_t row) {
    return (values[row * spikeglx::SAVED_CHANNELS + CHANNEL_COUNT] & spikeglx::SYNC_FILLED) != 0;
  };
  std::vector<bool> listed(samples, false);
  for (const auto& g : gaps) {
    EXPECT_GE(g.timestamp, out.t0) << g.cause;
    for (uint64_t t = g.timestamp; t < g.timestamp + g.samples && t - out.t0 < samples; ++t) listed[t - out.t0] = true;
    if (g.timestamp > out.t0 || g.cause != "stream_late") out.gaps.push_back(g);
  }
  uint64_t unlisted = 0, unfilled = 0;
  for (uint64_t row = 0; row < samples; ++row) {
    if (filled(row) && !listed[row]) ++unlisted;
    if (!filled(row) && listed[row]) ++unfilled;
  }
  EXPECT_EQ(unlisted, 0u) << "filled rows no gap lists";
  EXPECT_EQ(unfilled, 0u) << "listed rows holding samples";

  if (np1) {
    const auto lf = layout.stream_stem(n, spikeglx::Band::lf);
    const auto lf_meta = test::read_meta(with(lf, ".meta"));
    // LF row k is the superframe of device time 12 (t0 / 12 + k): the rows
    // of every superframe the AP samples touch.
    const uint64_t lf_rows = (out.t0 + samples + 11) / 12 - out.t0 / 12;
    EXPECT_EQ(std::filesystem::file_size(with(lf, ".bin")), lf_rows * spikeglx::SAVED_CHANNELS * 2)
        << "LF gaps " << lf_meta.at("pelionpGaps") << ", AP gaps " << meta.at("pelionpGaps") << ", t0 " << out.t0;
    EXPECT_EQ(lf_meta.at("firstSample"), std::to_string(out.t0 / 12));
  }
  return out;
}

enum class Fault { unplug, queue_full, resync };

struct FaultCase {
  const char* name;
  Fault fault;
  uint64_t samples;                      // AP samples per file
  std::vector<std::pair<int, int>> probes;  // recorded (port, dock); empty: all
};

class GapFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(GapFault, EveryFileSpansItsDeviceTimeAndListsTheFaultsGaps) {
  const auto& param = GetParam();
  test::TempDir dir;
  test::LogCapture log;
  FaultRig faults;
  auto session = Session::open(faults.rig.board);
  ASSERT_TRUE(session) << session.error();
  ASSERT_TRUE((*session)->detect());
  const spikeglx::Layout layout{dir.path(), "fault"};
  auto created = Run::create(**session, {.layout = layout, .probes = param.probes, .ap_samples = param.samples,
                                         .stall_timeout = std::chrono::milliseconds(60000)});
  ASSERT_TRUE(created) << created.error();
  auto& run = **created;
  const auto& writers = run.writers();
  ASSERT_TRUE(run.start());
  // Every file has begun (a tenth of a second in).
  ASSERT_TRUE(eventually([&] {
    return std::ranges::all_of(writers, [](const auto& w) { return w->recording().ap_samples() >= 3000; });
  }));

  // Per (port, dock): what the fault should have left in the file.
  std::map<std::pair<int, int>, std::string> expected_cause;
  uint64_t unplugged_ticks = 0;
  switch (param.fault) {
    case Fault::unplug: {
      const uint64_t from = faults.clock->now();
      faults.rig.board->unplug(1);
      ASSERT_TRUE(eventually([&] { return faults.clock->now() >= from + 2 * 30000; }));
      const uint64_t to = faults.clock->now();
      faults.rig.board->plug(1, faults.rig.ports[1].headstage);
      unplugged_ticks = to - from;
      expected_cause = {{{1, 0}, "no_data"}, {{1, 1}, "no_data"}};
      break;
    }
    case Fault::queue_full: {
      // The host stops draining until the queue has refused a tenth of a
      // second of samples.
      const auto& probe = writers[0]->probe();
      const uint64_t before = counters_of(probe).drops;
      {
        auto hold = std::visit([](auto* p) { return p->stream().packets().hold_consumer(); }, probe.probe);
        ASSERT_TRUE(eventually([&] { return counters_of(probe).drops >= before + 3000; }));
      }
      expected_cause = {{{probe.port, probe.dock}, "queue_full"}};
      break;
    }
    case Fault::resync: {
      faults.lines.at({0, 0})->drop_words(7);
      faults.lines.at({1, 0})->corrupt_words(20);
      faults.lines.at({1, 1})->drop_words(7);
      ASSERT_TRUE(eventually([&] {
        return faults.lines.at({0, 0})->words_dropped() == 7 && faults.lines.at({1, 0})->words_corrupted() == 20 &&
               faults.lines.at({1, 1})->words_dropped() == 7;
      })) << "the line faults were applied";
      // The NP2 decoder takes corrupted words in its stride (its row
      // counter recovers): port 1 dock 0 loses nothing.
      expected_cause = {{{0, 0}, "resync"}, {{1, 1}, "resync"}};
      break;
    }
  }
  ASSERT_TRUE(run.wait(60s)) << "the writers did not reach their sample count";
  ASSERT_TRUE(run.finish());

  std::optional<uint64_t> t0;
  for (size_t n = 0; n < writers.size(); ++n) {
    const auto& probe = writers[n]->probe();
    const auto checked = check_files(run.layout(), static_cast<int>(n), probe.kind == ProbeKind::np1, param.samples);
    if (!t0) t0 = checked.t0;
    EXPECT_EQ(checked.t0, *t0) << "every file begins at the run's start";
    const auto cause = expected_cause.find({probe.port, probe.dock});
    const auto place = probe.place();
    if (cause == expected_cause.end()) {
      EXPECT_TRUE(checked.gaps.empty()) << place << ": a gap at " << checked.gaps.front().timestamp << " ("
                                        << checked.gaps.front().cause << ")";
      continue;
    }
    ASSERT_FALSE(checked.gaps.empty()) << place;
    uint64_t filled = 0;
    for (const auto& g : checked.gaps) {
      EXPECT_EQ(g.cause, cause->second) << place << " at " << g.timestamp;
      filled += g.samples;
    }
    uint64_t late = 0;
    for (const auto& g : writers[n]->gaps())
      if (g.cause == "stream_late") late += g.samples;
    EXPECT_EQ(filled, writers[n]->dropped_samples() - late) << place << ": the writer's count is the file's";
    switch (param.fault) {
      case Fault::unplug:
        // One gap: the two seconds the board sent nothing for the port, to
        // the buffer (30 ticks) either side, and what the decoder needed to
        // find its frames again.
        EXPECT_EQ(checked.gaps.size(), 1u) << place;
        EXPECT_GE(filled + 60, unplugged_ticks) << place;
        EXPECT_LE(filled, unplugged_ticks + 600) << place;
        break;
      case Fault::queue_full: {
        // Every sample the queue refused within the file, and no other, is
        // a filled row: the stream names each one it refuses.
        std::vector<uint64_t> refused;
        static const std::regex line(R"(Queue is full, dropping packet at timestamp (\d+))");
        for (const auto& record : log.records())
          if (std::smatch m; std::regex_match(record.text, m, line))
            if (const uint64_t t = std::stoull(m[1]); t >= checked.t0 && t < checked.t0 + param.samples) refused.push_back(t);
        std::vector<uint64_t> rows;
        for (const auto& g : checked.gaps)
          for (uint64_t t = g.timestamp; t < g.timestamp + g.samples; ++t) rows.push_back(t);
        std::ranges::sort(refused);
        EXPECT_GE(refused.size(), 3000u) << "a tenth of a second refused";
        EXPECT_TRUE(rows == refused) << place << ": " << rows.size() << " filled rows, " << refused.size()
                                     << " samples refused";
        break;
      }
      case Fault::resync:
        EXPECT_LT(filled, 3000u) << place << ": a resync loses milliseconds";
        break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Run, GapFault,
    ::testing::Values(FaultCase{"HeadstageUnpluggedForTwoSeconds", Fault::unplug, 4 * 30000, {}},
                      FaultCase{"HostQueueFull", Fault::queue_full, 6 * 30000, {{1, 0}}},
                      FaultCase{"DecoderResyncs", Fault::resync, 30000, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelionp::record
