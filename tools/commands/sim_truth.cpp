#include "tools/commands/sim_truth.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstring>
#include <fstream>

#include "record/spikeglx/npy.h"
#include "sim/probes/neural_signal.h"

namespace pelionp::tool::commands {
namespace {

struct TickRange {
  uint64_t first = 0;
  uint64_t last = 0;
};

uint64_t little_endian_u64(const char* bytes) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
  return v;
}

// The first and last value of a probe's timestamp file (NPY 1.0, uint64).
std::expected<TickRange, std::string> recorded_ticks(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<char, 10> head{};
  if (!in.read(head.data(), head.size()) || std::memcmp(head.data(), "\x93NUMPY\x01", 7) != 0)
    return std::unexpected(fmt::format("{}: not an NPY 1.0 file", path.string()));
  const auto header = static_cast<std::streamoff>(static_cast<unsigned char>(head[8]) |
                                                  (static_cast<unsigned char>(head[9]) << 8));
  in.seekg(0, std::ios::end);
  const std::streamoff data = in.tellg() - (10 + header);
  if (data < 8) return std::unexpected(fmt::format("{}: no timestamp", path.string()));
  std::array<char, 8> first{}, last{};
  in.seekg(10 + header);
  in.read(first.data(), 8);
  in.seekg(10 + header + (data / 8 - 1) * 8);
  if (!in.read(last.data(), 8)) return std::unexpected(fmt::format("{}: cannot be read", path.string()));
  return TickRange{little_endian_u64(first.data()), little_endian_u64(last.data())};
}

}  // namespace

std::expected<void, std::string> write_sim_ground_truth(const DeviceChoice& choice, const record::Run& run) {
  if (!choice.plugin.empty()) return {};
  nlohmann::json probes = nlohmann::json::array();
  for (const auto& writer : run.writers()) {
    const auto& probe = writer->probe();
    const auto& recording = writer->recording();
    if (recording.ap_samples() == 0) continue;
    const auto stem = run.layout().stream_stem(static_cast<int>(&writer - run.writers().data()), spikeglx::Band::ap);
    auto ticks = recorded_ticks(spikeglx::timestamps_path(stem));
    if (!ticks) return std::unexpected(fmt::format("Ground truth: {}", ticks.error()));
    const bool np1 = probe.kind == ProbeKind::np1;
    nlohmann::json truth =
        sim::ground_truth(np1 ? sim::SignalLayout::np1 : sim::SignalLayout::np2, probe.info().serial,
                          shank_count(probe.kind), ticks->first, ticks->last + 1);
    truth["imec"] = &writer - run.writers().data();
    truth["port"] = probe.port;
    truth["dock"] = probe.dock;
    truth["kind"] = std::string(display_name(probe.kind));
    truth["ap_bin"] = recording.ap_path().filename().string();
    truth["first_tick"] = ticks->first;
    truth["last_tick"] = ticks->last;
    probes.push_back(std::move(truth));
  }
  const auto path = run.layout().run_directory() / SIM_GROUND_TRUTH_FILE;
  std::ofstream out(path, std::ios::binary);
  out << nlohmann::json{{"period_ticks", sim::SIGNAL_PERIOD_TICKS}, {"probes", std::move(probes)}}.dump() << '\n';
  if (!out.flush()) return std::unexpected(fmt::format("Ground truth: cannot write {}", path.string()));
  return {};
}

}  // namespace pelionp::tool::commands
