// Two boards in one machine: two simulated boards, each opened as the tool
// opens one (paced at the probes' rate), each with its own session and run,
// recorded side by side in one process, as a lab with two boards on one
// computer records. By default each board carries eight NP2 probes (a full
// board, 184.8 MB/s): sixteen probes, about 370 MB/s, into a RAM-backed
// folder, so that the disk is not what is measured.
//
// Reports whether the two keep real time (wall time from the start to the
// last writer's end against the seconds of data, the keep-up warnings of the
// demultiplexer, the samples the writers filled in for ones lost) and the
// CPU the process took (user + system per second of data; the two simulated
// boards' producers, which encode every probe's signal, included, and
// apart: what the host alone would take with hardware producing).
//
// Run: build/release/bench/two_boards [--seconds 10] [--rig RIG] [--out DIR] [--buffered]
#include <fmt/format.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "record/session/run.h"
#include "record/session/session.h"
#include "tools/commands/device.h"
#include "tools/rig/rig.h"

namespace {

using namespace pelionp;
using clock_type = std::chrono::steady_clock;

// Counts the warning and error lines, and among them the demultiplexer's
// keep-up warnings.
class CountingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::atomic<uint64_t> warnings{0};
  std::atomic<uint64_t> keep_up{0};
  std::string first;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (msg.level < spdlog::level::warn) return;
    const std::string_view text(msg.payload.data(), msg.payload.size());
    if (warnings++ == 0) first = text;
    if (text.find("keep up") != std::string_view::npos) ++keep_up;
  }
  void flush_() override {}
};

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU of this process's threads named `name` (see pelionp/thread_name.h;
// the simulated board's producer is "sim-board"), from /proc: the board's
// own work, which hardware does on the board and a host never pays.
double cpu_seconds_of_threads(std::string_view name) {
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  double total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string thread_name;
    std::getline(comm, thread_name);
    if (thread_name != name) continue;
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the name's closing parenthesis: state is field 3, utime 14, stime 15.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    double user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) user = std::stod(field);
      if (i == 15) system = std::stod(field);
    }
    total += (user + system) / tick;
  }
  return total;
}

struct Board {
  tool::commands::OpenedDevice device;
  std::unique_ptr<record::Session> session;
  std::unique_ptr<record::Run> run;
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  std::string rig = tool::rig::to_compact(tool::rig::full_np2_rig());
  std::filesystem::path out = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  out /= fmt::format("pelionp-two-boards-{}", ::getpid());
  int boards = 2;
  auto page_cache = record::spikeglx::PageCache::bypassed;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) seconds = std::stod(argv[++i]);
    else if (a == "--rig" && i + 1 < argc) rig = argv[++i];
    else if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "--boards" && i + 1 < argc) boards = std::stoi(argv[++i]);
    else if (a == "--buffered") page_cache = record::spikeglx::PageCache::used;
    else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--rig RIG] [--boards N] [--out DIR] [--buffered]\n", argv[0]);
      return 2;
    }
  }
  auto sink = std::make_shared<CountingSink>();
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("two_boards", sink));
  spdlog::set_level(spdlog::level::info);

  const uint64_t samples = static_cast<uint64_t>(seconds * 30000.0) / 12 * 12;
  std::vector<Board> rigs(static_cast<size_t>(boards));
  for (int b = 0; b < boards; ++b) {
    auto& board = rigs[static_cast<size_t>(b)];
    auto opened = tool::commands::open_device({.sim = rig, .plugin = {}, .config = "{}"}, /*paced=*/true);
    if (!opened) return fmt::print(stderr, "board {}: {}\n", b, opened.error()), 1;
    board.device = std::move(*opened);
    auto session = record::Session::open(board.device.device);
    if (!session) return fmt::print(stderr, "board {}: {}\n", b, session.error()), 1;
    board.session = std::move(*session);
    if (auto r = board.session->detect(); !r) return fmt::print(stderr, "board {}: detection: {}\n", b, r.error()), 1;
    auto run = record::Run::create(*board.session, {.layout = {out / fmt::format("board{}", b), "two"},
                                                    .ap_samples = samples,
                                                    .page_cache = page_cache});
    if (!run) return fmt::print(stderr, "board {}: {}\n", b, run.error().message), 1;
    board.run = std::move(*run);
  }
  const uint64_t warnings_before = sink->warnings.load();
  const double cpu_before = cpu_seconds();
  const double board_cpu_before = cpu_seconds_of_threads("sim-board");
  const auto started = clock_type::now();
  for (auto& board : rigs)
    if (auto r = board.run->start(); !r) return fmt::print(stderr, "start: {}\n", r.error().message), 1;
  const auto deadline = started + std::chrono::seconds(static_cast<int64_t>(3 * seconds + 30));
  for (auto& board : rigs) board.run->wait(deadline - clock_type::now());
  const double wall = std::chrono::duration<double>(clock_type::now() - started).count();
  // NB: read while the producers still run; their threads end with the runs.
  const double board_cpu = cpu_seconds_of_threads("sim-board") - board_cpu_before;
  uint64_t lost = 0, probes = 0, written = 0;
  bool bypassed = true;
  bool ok = true;
  for (auto& board : rigs) {
    for (const auto& w : board.run->writers()) {
      lost += w->dropped_samples();
      ++probes;
      written += w->recording().bytes_written();
      bypassed = bypassed && w->recording().bypasses_page_cache();
    }
    if (auto r = board.run->finish(); !r) {
      fmt::print(stderr, "finish: {}\n", r.error().message);
      ok = false;
    }
  }
  const double cpu = cpu_seconds() - cpu_before;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const uint64_t warnings = sink->warnings.load() - warnings_before;
  fmt::print("{} boards x {} ({} probes), {} s of data into {} ({})\n", boards, rig, probes, seconds, out.string(),
             bypassed ? "past the page cache" : "through the page cache");
  fmt::print("wall {:.2f} s for {:.2f} s of data ({:.3f} x), {:.0f} MB written\n", wall, seconds, wall / seconds,
             static_cast<double>(written) / 1e6);
  fmt::print("CPU {:.2f} s: {:.1f} % of one core per second of data ({} cores)\n", cpu, 100 * cpu / seconds,
             ::sysconf(_SC_NPROCESSORS_ONLN));
  fmt::print("of which the simulated boards' producers {:.2f} s; the host's part {:.1f} % of one core per second of data\n",
             board_cpu, 100 * (cpu - board_cpu) / seconds);
  fmt::print("samples lost {}, keep-up warnings {}, warnings and errors {}{}{}\n", lost, sink->keep_up.load(), warnings,
             warnings ? ", the first: " : "", warnings ? sink->first : "");
  fmt::print("max RSS {} MiB\n", usage.ru_maxrss / 1024);
  rigs.clear();
  std::error_code ec;
  std::filesystem::remove_all(out, ec);
  return ok ? 0 : 1;
}
