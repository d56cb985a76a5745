// How fast one probe's recording takes packets, as a multiple of the probe's
// real-time rate. Files go to the temporary directory (page cache), so this
// measures the writer, not the disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "record/imro/configuration.h"
#include "record/spikeglx/recording.h"

namespace {

using namespace pelionp::record;

std::filesystem::path scratch(const char* name) {
  return std::filesystem::temp_directory_path() / (std::string("pelionp_bench_") + name + std::to_string(::getpid()));
}

spikeglx::ProbeIdentity identity(ProbeKind kind) {
  spikeglx::ProbeIdentity probe;
  probe.kind = kind;
  return probe;
}

// Reported as "realtime_multiple": seconds of probe data written per second
// of wall-clock time.
void recording(benchmark::State& state, ProbeKind kind) {
  const auto root = scratch(std::string(key(kind)).c_str());
  constexpr int SAMPLES_PER_CALL = 12;  // one NP1 electrode packet
  std::vector<int16_t> ap(SAMPLES_PER_CALL * CHANNEL_COUNT);
  std::array<int16_t, CHANNEL_COUNT> lf{};
  std::array<uint64_t, SAMPLES_PER_CALL> ts{};
  for (size_t i = 0; i < ap.size(); ++i) ap[i] = static_cast<int16_t>(i % 1000 - 500);
  uint64_t samples = 0;
  {
    auto r = spikeglx::ProbeRecording::create(spikeglx::Layout{root, "bench"}, 0,
                                              identity(kind), imro::default_configuration(kind));
    if (!r) {
      state.SkipWithError(r.error().c_str());
      return;
    }
    for (auto _ : state) {
      for (auto& t : ts) t = samples++;
      if (!(*r)->append_ap(ap, ts)) state.SkipWithError("append_ap failed");
      if (kind == ProbeKind::np1 && !(*r)->append_lf(lf)) state.SkipWithError("append_lf failed");
    }
    if (!(*r)->close()) state.SkipWithError("close failed");
  }
  std::filesystem::remove_all(root);
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  state.counters["realtime_multiple"] =
      benchmark::Counter(static_cast<double>(samples) / spikeglx::AP_SAMPLE_RATE, benchmark::Counter::kIsRate);
}

void BM_Np1Recording(benchmark::State& state) { recording(state, ProbeKind::np1); }
void BM_Np2Recording(benchmark::State& state) { recording(state, ProbeKind::np2_four_shank); }
BENCHMARK(BM_Np1Recording)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Np2Recording)->MinTime(1.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
