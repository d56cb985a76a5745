// The `pelionp` program end to end on the simulated board: `record` writes
// what the simulated probes sent (checked by neo's SpikeGLX reader), Ctrl-C
// closes every file cleanly, and `detect` and `bist` describe the default rig.

#include <gtest/gtest.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "sim/probes/np2_probe.h"
#include "sim/probes/np1_signal.h"
#include "tools/platform/console.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"
#include "tools/commands/sim_rig.h"
#include "record/imro/configuration.h"
#include "record/imro/geometry.h"
#include "record/imro/imro.h"
#include "record/spikeglx/npy.h"

namespace pelionp::tool::test {
namespace {

using commands::default_sim_serial;
using pelionp::test::TempDir;
using nlohmann::json;

std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint64_t> read_timestamps(const std::filesystem::path& npy) {
  const std::string bytes = slurp(npy);
  std::vector<uint64_t> values((bytes.size() - spikeglx::NPY_HEADER_BYTES) / 8);
  std::memcpy(values.data(), bytes.data() + spikeglx::NPY_HEADER_BYTES, values.size() * 8);
  return values;
}

std::map<std::string, std::string> read_meta(const std::filesystem::path& meta) {
  std::map<std::string, std::string> keys;
  std::ifstream in(meta);
  for (std::string line; std::getline(in, line);)
    if (auto eq = line.find('='); eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  return keys;
}

std::filesystem::path stem(const std::filesystem::path& root, const std::string& run, int n, const char* band) {
  return root / (run + "_g0") / fmt::format("{}_g0_imec{}", run, n) / fmt::format("{}_g0_t0.imec{}.{}", run, n, band);
}

// Runs a command; its output when it fails, "" when it succeeds.
std::string failures_of(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return status == 0 ? "" : output;
}

std::string run_check_neo(const std::filesystem::path& root, const json& expectation) {
  const auto path = root / "expectation.json";
  std::ofstream(path) << expectation.dump();
  return failures_of(fmt::format("/usr/bin/python3 {}/tests/tools/check_neo.py {} {} 2>&1", PELIONP_SOURCE_DIR,
                                 root.string(), path.string()));
}

// Every ProbeInterface file under `root` loads as a reader loads it.
std::string run_check_probe_files(const std::filesystem::path& root, int files) {
  return failures_of(fmt::format("/usr/bin/python3 {}/tests/tools/check_probe_files.py {} {} 2>&1", PELIONP_SOURCE_DIR,
                                 root.string(), files));
}

// What one code of the NP2 probes' 12-bit ADC is at the electrode, and the
// units a code is stored as.
const json NP2_UV_PER_CODE = {{"value", 1.24 / 4096 / 100 * 1e6}, {"units", 4}, {"tolerance", 0.01}};

// The samples checked in every stream: the first superframes whole, then a
// spread through the recording and the last one.
std::vector<uint64_t> checked_samples(uint64_t count) {
  std::vector<uint64_t> s;
  for (uint64_t i = 0; i < 26 && i < count; ++i) s.push_back(i);
  for (uint64_t i = 4999; i < count; i += 4999) s.push_back(i);
  s.push_back(count - 1);
  return s;
}

// NP1 LF rows: one for every superframe the AP samples touch, so a run that
// begins inside a superframe (its start is the latest probe's first sample)
// has one more than AP / 12.
uint64_t np1_lf_rows(uint64_t t0, uint64_t ap) { return (t0 + ap + 11) / 12 - t0 / 12; }

int16_t np1_value(uint16_t code) { return static_cast<int16_t>(static_cast<float>(512 - code) * 1.0F); }

// What the simulated NP2 probe sends on channel c at timestamp t: the
// signal of the electrode its chip connects, by the probe's geometry.
uint16_t np2_code(ProbeKind kind, uint64_t serial, uint64_t timestamp, int channel,
                  const imro::ProbeConfiguration* configuration = nullptr) {
  const auto setting = (configuration ? *configuration : imro::default_configuration(kind)).channels[static_cast<size_t>(channel)];
  const auto electrode = imro::electrode_of(kind, channel, setting);
  if (!electrode) return 2048;
  return sim::np2_electrode_signal(serial, setting.shank, static_cast<uint16_t>(*electrode), timestamp);
}

int16_t np2_value(uint16_t code) {
  return static_cast<int16_t>(static_cast<int16_t>(static_cast<float>(code - 2048) * 1.0F) * 4);
}

TEST(RecordCommand, TwoSecondsOfTheDefaultRigReadBackByNeo) {
  REQUIRE_TOOL();
  TempDir dir;
  const std::string run = "ci";
  ToolProcess record(TOOL, {"record", "--seconds", "2", "--out", dir.path().string(), "--run", run}, dir.path());
  ASSERT_TRUE(record.started());
  const auto status = record.wait();
  ASSERT_EQ(status, 0) << record.out() << record.err();
  EXPECT_NE(record.out().find("Recording: " + (dir.path() / "ci_g0").string()), std::string::npos) << record.out();

  constexpr uint64_t AP = 60000;
  json expectation;

  // imec0: the NP1 probe on port 0, bank 0 (electrode = channel; channel 191
  // is the internal reference line and reads flat).
  const uint64_t np1_serial = default_sim_serial(ProbeKind::np1, 0, 0);
  const auto np1_ts = read_timestamps(stem(dir.path(), run, 0, "ap").string() + ".timestamps.npy");
  ASSERT_EQ(np1_ts.size(), AP);
  const uint64_t LF = np1_lf_rows(np1_ts[0], AP);
  expectation["duration"] = std::max(2.0, static_cast<double>(LF) / 2500);
  json ap = json::array();
  json lf = json::array();
  for (uint64_t s : checked_samples(AP))
    for (int c = 0; c < 384; ++c)
      ap.push_back({s, c, np1_value(c == 191 ? sim::NP1_FLAT_CODE : sim::np1_ap_code(np1_serial, c, np1_ts[s]))});
  for (uint64_t k : checked_samples(LF))
    for (int c = 0; c < 384; ++c)
      lf.push_back({k, c, np1_value(c == 191 ? sim::NP1_FLAT_CODE : sim::np1_lfp_code(np1_serial, c, np1_ts[0] / 12 + k))});
  expectation["streams"]["imec0.ap"] = {{"rate", 30000}, {"channels", 384}, {"samples", AP},
                                        {"gain_uv", 0.6 / 512 / 1000 * 1e6}, {"sync", 0}, {"values", ap},
                                        {"timestamps", {{"first", np1_ts[0]}, {"step", 1}}}};
  expectation["streams"]["imec0.lf"] = {{"rate", 2500}, {"channels", 384}, {"samples", LF},
                                        {"gain_uv", 0.6 / 512 / 50 * 1e6}, {"sync", 0}, {"values", lf}};

  // imec1, imec2: the NP2 probes in port 1's docks, bank 0 of shank 0.
  for (auto [n, kind] : {std::pair{1, ProbeKind::np2_single_shank}, std::pair{2, ProbeKind::np2_four_shank}}) {
    const uint64_t serial = default_sim_serial(kind, 1, n - 1);
    const auto ts = read_timestamps(stem(dir.path(), run, n, "ap").string() + ".timestamps.npy");
    ASSERT_EQ(ts.size(), AP);
    json values = json::array();
    for (uint64_t s : checked_samples(AP))
      for (int c = 0; c < 384; ++c) values.push_back({s, c, np2_value(np2_code(kind, serial, ts[s], c))});
    expectation["streams"][fmt::format("imec{}.ap", n)] = {
        {"rate", 30000}, {"channels", 384}, {"samples", AP}, {"gain_uv", 0.5 / 8192 / 80 * 1e6}, {"sync", 0},
        {"uv_per_code", NP2_UV_PER_CODE}, {"values", values}, {"timestamps", {{"first", ts[0]}, {"step", 1}}}};
  }

  const std::string failures = run_check_neo(dir.path(), expectation);
  EXPECT_EQ(failures, "");
  // Three probe files and the run's.
  EXPECT_EQ(run_check_probe_files(dir.path(), 4), "");

  // Who the probes are, as the files say.
  const auto meta = read_meta(stem(dir.path(), run, 2, "ap").string() + ".meta");
  EXPECT_EQ(meta.at("imDatPrb_type"), "24");
  EXPECT_EQ(meta.at("imDatPrb_pn"), "NP2014");
  EXPECT_EQ(meta.at("imDatPrb_sn"), std::to_string(default_sim_serial(ProbeKind::np2_four_shank, 1, 1)));
  EXPECT_EQ(read_meta(stem(dir.path(), run, 0, "lf").string() + ".meta").at("imDatPrb_sn"), std::to_string(np1_serial));
}

TEST(RecordCommand, ASpreadFourShankTableReadsAtTheProbesScale) {
  REQUIRE_TOOL();
  TempDir dir;
  // Channel c on shank c % 4, bank (c / 4) % 2, in the layout of the probe's part number.
  std::string table = "(NP2014,384)";
  for (int c = 0; c < 384; ++c)
    table += fmt::format("({} {} {} 0 {})", c, c % 4, (c / 4) % 2, *imro::np2_four_shank_electrode(c, c % 4, (c / 4) % 2));
  std::ofstream(dir.path() / "spread.imro") << table;
  auto configuration = imro::parse_configuration(table, ProbeKind::np2_four_shank, "NP2014");
  ASSERT_TRUE(configuration) << configuration.error();
  ToolProcess record(TOOL, {"record", "--seconds", "0.1", "--out", dir.path().string(), "--run", "spread", "--imro",
                            "1:1=" + (dir.path() / "spread.imro").string()},
                     dir.path());
  ASSERT_TRUE(record.started());
  ASSERT_EQ(record.wait(), 0) << record.out() << record.err();

  constexpr uint64_t AP = 3000;
  const uint64_t serial = default_sim_serial(ProbeKind::np2_four_shank, 1, 1);
  const auto ts = read_timestamps(stem(dir.path(), "spread", 2, "ap").string() + ".timestamps.npy");
  ASSERT_EQ(ts.size(), AP);
  json values = json::array();
  for (uint64_t s : checked_samples(AP))
    for (int c = 0; c < 384; c += 7)
      values.push_back({s, c, np2_value(np2_code(ProbeKind::np2_four_shank, serial, ts[s], c, &*configuration))});
  json expectation;
  expectation["streams"]["imec0.ap"] = {{"rate", 30000}, {"channels", 384}, {"samples", AP}};
  const auto np1_ts = read_timestamps(stem(dir.path(), "spread", 0, "ap").string() + ".timestamps.npy");
  ASSERT_EQ(np1_ts.size(), AP);
  expectation["streams"]["imec0.lf"] = {{"rate", 2500}, {"channels", 384}, {"samples", np1_lf_rows(np1_ts[0], AP)}};
  expectation["streams"]["imec1.ap"] = {{"rate", 30000}, {"channels", 384}, {"samples", AP}, {"uv_per_code", NP2_UV_PER_CODE}};
  expectation["streams"]["imec2.ap"] = {
      {"rate", 30000}, {"channels", 384}, {"samples", AP}, {"uv_per_code", NP2_UV_PER_CODE}, {"values", values}};
  EXPECT_EQ(run_check_neo(dir.path(), expectation), "");
  EXPECT_EQ(run_check_probe_files(dir.path(), 4), "");
  const auto meta = read_meta(stem(dir.path(), "spread", 2, "ap").string() + ".meta");
  EXPECT_EQ(meta.at("~imroTbl"), imro::format(*configuration));
  EXPECT_TRUE(meta.at("~imroTbl").starts_with("(24,384)")) << "the vocabulary of imDatPrb_type";
  EXPECT_EQ(meta.at("imChan0apGain"), "80");
  EXPECT_TRUE(meta.at("~muxTbl").starts_with("(24,16)(0 1 32 33 64 65 ")) << meta.at("~muxTbl").substr(0, 40);
}

TEST(RecordCommand, RunNamesReadersCannotParseAreRefused) {
  REQUIRE_TOOL();
  TempDir dir;
  const auto out = dir.path() / "out";
  std::filesystem::create_directories(out);
  for (const std::string name : {"a b", "a.b", "x/y"}) {
    ToolProcess record(TOOL, {"record", "--seconds", "1", "--out", out.string(), "--run", name}, dir.path());
    ASSERT_TRUE(record.started());
    EXPECT_NE(record.wait(), 0) << name;
    EXPECT_NE((record.out() + record.err()).find(fmt::format("Run name '{}' may hold only letters, digits, '-' and '_'", name)),
              std::string::npos)
        << record.out() << record.err();
  }
  EXPECT_TRUE(std::filesystem::is_empty(out)) << "nothing was written";
}

TEST(RecordCommand, CtrlCWritesWhatIsQueuedAndClosesEveryFile) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess record(TOOL, {"record", "--out", dir.path().string(), "--run", "stop"}, dir.path());
  ASSERT_TRUE(record.started());
  // Streaming has begun once the last probe's samples reach its file.
  const auto last_ap = stem(dir.path(), "stop", 2, "ap").string() + ".bin";
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto size = [&] {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(last_ap, ec);
    return ec ? uintmax_t{0} : bytes;
  };
  while (size() < (uintmax_t{8} << 20) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(size(), uintmax_t{8} << 20) << record.err();
  ASSERT_TRUE(record.signal(SIGINT));
  ASSERT_EQ(record.wait(), 0) << record.err();
  EXPECT_NE(record.err().find("Interrupted"), std::string::npos) << record.err();

  for (int n = 0; n < 3; ++n) {
    for (const char* band : {"ap", "lf"}) {
      if (n > 0 && std::string(band) == "lf") continue;
      const auto s = stem(dir.path(), "stop", n, band);
      const auto bin = s.string() + ".bin";
      const auto meta = read_meta(s.string() + ".meta");
      ASSERT_FALSE(meta.empty()) << s << " has no .meta";
      const auto size = std::filesystem::file_size(bin);
      EXPECT_EQ(meta.at("fileSizeBytes"), std::to_string(size)) << bin;
      EXPECT_EQ(size % (385 * 2), 0U) << bin;
      if (std::string(band) == "ap") {
        EXPECT_EQ(read_timestamps(s.string() + ".timestamps.npy").size(), size / 770) << "one timestamp per sample";
      }
    }
  }
  // NP1 AP and LF end on the same superframe.
  const auto np1_ts = read_timestamps(stem(dir.path(), "stop", 0, "ap").string() + ".timestamps.npy");
  ASSERT_FALSE(np1_ts.empty());
  EXPECT_EQ(std::filesystem::file_size(stem(dir.path(), "stop", 0, "lf").string() + ".bin") / 770,
            np1_lf_rows(np1_ts[0], np1_ts.size()));
}

#ifndef _WIN32
// A recording process killed while it records: what it left opens in neo,
// every sample on disk as the probes sent it, and each .meta no more than a
// second behind its .bin. NB: the process is stopped before the kill, so
// that the kill lands between system calls as a crash does; a kill inside
// a write may cut it at a page, which no writer can prevent (a power cut
// leaves the same).
TEST(RecordCommand, AKilledRecordingOpensInNeoWithItsSamplesUpToASecondBeforeTheKill) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess record(TOOL, {"record", "--out", dir.path().string(), "--run", "killed"}, dir.path());
  ASSERT_TRUE(record.started());
  const std::vector<std::pair<int, const char*>> streams{{0, "ap"}, {0, "lf"}, {1, "ap"}, {2, "ap"}};
  auto rows_of = [&](int n, const char* band) {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(stem(dir.path(), "killed", n, band).string() + ".bin", ec);
    return ec ? uint64_t{0} : uint64_t{bytes / 770};
  };
  // Each stream's rows on disk over time, to know what was there a second before the kill.
  struct Seen {
    std::chrono::steady_clock::time_point at;
    std::vector<uint64_t> rows;
  };
  std::vector<Seen> seen;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    Seen now{std::chrono::steady_clock::now(), {}};
    for (const auto& [n, band] : streams) now.rows.push_back(rows_of(n, band));
    seen.push_back(now);
    if (now.rows[3] >= 2 * 30000 + 30000 / 2) break;  // two and a half seconds of the last probe
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(seen.back().rows[3], 2u * 30000) << record.err();
  ASSERT_TRUE(record.stop());
  const auto killed_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(record.signal(SIGKILL));
  EXPECT_EQ(record.wait(), std::nullopt) << "ended by the signal";
  std::vector<uint64_t> second_before(streams.size(), 0);
  for (const auto& s : seen)
    if (s.at <= killed_at - std::chrono::seconds(1)) second_before = s.rows;
  ASSERT_GT(second_before[3], 0u) << "nothing on disk a second before the kill";

  json expectation;
  const uint64_t np1_serial = default_sim_serial(ProbeKind::np1, 0, 0);
  for (size_t k = 0; k < streams.size(); ++k) {
    const auto [n, band] = streams[k];
    const bool ap = std::string(band) == "ap";
    const auto s = stem(dir.path(), "killed", n, band);
    const auto bin_bytes = std::filesystem::file_size(s.string() + ".bin");
    ASSERT_EQ(bin_bytes % 770, 0u) << s << ": whole rows";
    const uint64_t rows = bin_bytes / 770;
    const auto meta = read_meta(s.string() + ".meta");
    ASSERT_FALSE(meta.empty()) << s << " has no .meta";
    const uint64_t meta_rows = std::stoull(meta.at("fileSizeBytes")) / 770;
    EXPECT_LE(meta_rows, rows) << s;
    EXPECT_GE(meta_rows, second_before[k]) << s << ": the .meta is more than a second behind";
    // The device timestamps of the AP rows (of NP1's LF: of every twelfth).
    const auto ts = read_timestamps(stem(dir.path(), "killed", n, "ap").string() + ".timestamps.npy");
    // The timestamps file, like the .meta, is at most a second behind.
    const uint64_t stamped = ap ? ts.size() : ts.size() / 12;
    EXPECT_GE(stamped, second_before[k]) << s << ": the timestamps are more than a second behind";
    json values = json::array();
    for (uint64_t r : checked_samples(std::min(rows, stamped)))
      for (int c = 0; c < 384; c += 5) {
        const uint64_t t = ts[ap ? r : 12 * r];
        int16_t v = 0;
        if (n == 0) {
          const uint16_t code = c == 191 ? sim::NP1_FLAT_CODE : ap ? sim::np1_ap_code(np1_serial, c, t) : sim::np1_lfp_code(np1_serial, c, t / 12);
          v = np1_value(code);
        } else {
          const auto kind = n == 1 ? ProbeKind::np2_single_shank : ProbeKind::np2_four_shank;
          v = np2_value(np2_code(kind, default_sim_serial(kind, 1, n - 1), t, c));
        }
        values.push_back({r, c, v});
      }
    expectation["streams"][fmt::format("imec{}.{}", n, band)] = {
        {"rate", ap ? 30000 : 2500}, {"channels", 384}, {"samples", rows}, {"values", values}};
  }
  EXPECT_EQ(run_check_neo(dir.path(), expectation), "");
}
#endif

TEST(RecordCommand, WritesIntoAFolderWhoseNameIsNotAscii) {
  REQUIRE_TOOL();
  TempDir dir;
  const std::string folder = "Aufnahme-\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC";  // Aufnahme-ü-日本
  const auto out = dir.path() / platform::path_from_utf8(folder);
  std::filesystem::create_directories(out);
  ToolProcess record(TOOL, {"record", "--seconds", "1", "--out", platform::utf8(out), "--run", "u"}, dir.path());
  ASSERT_TRUE(record.started());
  ASSERT_EQ(record.wait(), 0) << record.out() << record.err();
  const auto bin = stem(out, "u", 0, "ap").string() + ".bin";
  ASSERT_TRUE(std::filesystem::exists(platform::path_from_utf8(bin))) << bin;
  EXPECT_EQ(std::filesystem::file_size(platform::path_from_utf8(bin)), uint64_t{30000} * 385 * 2);
  // fileName has forward slashes on every platform.
  std::string with_slashes = bin;
  std::ranges::replace(with_slashes, '\\', '/');
  EXPECT_EQ(read_meta(platform::path_from_utf8(stem(out, "u", 0, "ap").string() + ".meta")).at("fileName"), with_slashes);
}

TEST(DetectCommand, ListsEveryProbeOfTheDefaultRigAndWhyPortsAreEmpty) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess detect(TOOL, {"detect"}, dir.path());
  ASSERT_EQ(detect.wait(), 0) << detect.err();
  const std::string out = detect.out();
  auto row = [](int port, const char* dock, const char* headstage, const char* pn, uint64_t serial, const char* flex,
                const char* version) {
    return fmt::format("{:<5} {:<5} {:<16} {:<20} {:<12} {:<16} {}\n", port, dock, headstage, pn, serial, flex, version);
  };
  EXPECT_NE(out.find(row(0, "-", "NP1 NP1_HS_30", "PRB_1_4_0480_1", default_sim_serial(ProbeKind::np1, 0, 0),
                         "NP2_FLEX_0", "1.0")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(row(1, "0", "NP2 NP2_HS_30", "NP2003", default_sim_serial(ProbeKind::np2_single_shank, 1, 0),
                         "", "0.0")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(row(1, "1", "NP2 NP2_HS_30", "NP2014", default_sim_serial(ProbeKind::np2_four_shank, 1, 1),
                         "", "0.0")),
            std::string::npos)
      << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("\n2 +- +no headstage: .+\n3 +- +no headstage: .+\n"))) << out;
}

TEST(DetectCommand, NamesAnEmptyDock) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess detect(TOOL, {"detect", "--sim", "2=np2:empty+single"}, dir.path());
  ASSERT_EQ(detect.wait(), 0) << detect.err();
  EXPECT_TRUE(std::regex_search(detect.out(), std::regex("\n2 +0 +NP2 NP2_HS_30 +no probe: .+\n2 +1 +NP2 NP2_HS_30 +NP2003 ")))
      << detect.out();
}

TEST(BistCommand, EveryTestPassesOnTheDefaultRig) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess bist(TOOL, {"bist"}, dir.path());
  ASSERT_EQ(bist.wait(), 0) << bist.out() << bist.err();
  const std::string out = bist.out();
  for (const char* test : {"port 0           headstage EEPROM         PASS", "port 1           headstage EEPROM         PASS",
                           "port 0           I2C                      PASS", "port 0           shift register shank     PASS",
                           "port 0           shift register base0     PASS", "port 0           shift register base1     PASS",
                           "port 0           PSB                      PASS", "port 1 dock 0    I2C                      PASS",
                           "port 1 dock 0    shift register shank     PASS", "port 1 dock 1    shift register shank 3   PASS",
                           "port 1 dock 1    shift register base odd  PASS"})
    EXPECT_NE(out.find(test), std::string::npos) << test << "\n" << out;
  EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;
  EXPECT_NE(out.find("18 of 18 tests passed"), std::string::npos) << out;
}

}  // namespace
}  // namespace pelionp::tool::test
