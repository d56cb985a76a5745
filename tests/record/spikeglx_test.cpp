#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"
#include "record/imro/imro.h"
#include "record/spikeglx/npy.h"
#include "record/spikeglx/recording.h"
#include "record/replay/replay.h"
#include "record/run_name.h"
#include "pelionp/decoders/np2_gain_conversion.h"

namespace pelionp::record::spikeglx {
namespace {

using test::read_file;
using test::read_int16;
using test::read_meta;
using test::TempDir;

ProbeIdentity identity(ProbeKind kind, int port, int dock, uint64_t serial) {
  return ProbeIdentity{kind, "PRB_1_4_0480_1", serial, "NP2_FLEX_0", "NP2_HS_30", port, dock, 0};
}

// Deterministic test values: NP1 packet values span the 10-bit range, NP2
// values the 12-bit range (the probe's stream puts them on the file's scale,
// x 4, before they reach the recording).
int16_t np1_ap(uint64_t s, int c) { return static_cast<int16_t>(static_cast<int>((s * 31 + c * 7) % 1024) - 512); }
int16_t np1_lf(uint64_t s, int c) { return static_cast<int16_t>(static_cast<int>((s * 13 + c * 3) % 1024) - 512); }
int16_t np2_ap(uint64_t s, int c) { return static_cast<int16_t>(static_cast<int>((s * 17 + c * 5) % 4096) - 2048); }

// Writes `packets` NP1 superframes (12 AP samples + 1 LF sample each), the
// way the writer thread hands over an electrode packet.
void write_np1(ProbeRecording& r, int packets, uint64_t t0, uint64_t step) {
  std::vector<int16_t> ap(12 * CHANNEL_COUNT);
  std::array<int16_t, CHANNEL_COUNT> lf{};
  std::array<uint64_t, 12> ts{};
  for (int p = 0; p < packets; ++p) {
    for (int k = 0; k < 12; ++k) {
      const uint64_t s = p * 12 + k;
      ts[k] = t0 + step * s;
      for (int c = 0; c < CHANNEL_COUNT; ++c) ap[k * CHANNEL_COUNT + c] = np1_ap(s, c);
    }
    for (int c = 0; c < CHANNEL_COUNT; ++c) lf[c] = np1_lf(p, c);
    ASSERT_TRUE(r.append_ap(ap, ts));
    ASSERT_TRUE(r.append_lf(lf));
  }
}

void write_np2(ProbeRecording& r, int samples, uint64_t t0, uint64_t step) {
  std::array<int16_t, CHANNEL_COUNT> ap{};
  for (int s = 0; s < samples; ++s) {
    for (int c = 0; c < CHANNEL_COUNT; ++c) ap[c] = static_cast<int16_t>(np2_ap(s, c) * NP2_FILE_SCALE);
    const uint64_t t = t0 + step * s;
    ASSERT_TRUE(r.append_ap(ap, std::span(&t, 1)));
  }
}

TEST(SpikeGlxLayout, FollowsTheRunGateProbeNaming) {
  const Layout layout{"/data", "mouse1"};
  EXPECT_EQ(layout.stream_stem(2, Band::ap), "/data/mouse1_g0/mouse1_g0_imec2/mouse1_g0_t0.imec2.ap");
  EXPECT_EQ(layout.stream_stem(0, Band::lf), "/data/mouse1_g0/mouse1_g0_imec0/mouse1_g0_t0.imec0.lf");
  EXPECT_EQ(timestamps_path(layout.stream_stem(1, Band::ap)),
            "/data/mouse1_g0/mouse1_g0_imec1/mouse1_g0_t0.imec1.ap.timestamps.npy");
}

// Readers take the run name back out of every file name: the newest neo
// stops at a blank, Debian's at a dot.
TEST(RunName, OnlyLettersDigitsHyphensAndUnderscoresPass) {
  for (const char* good : {"mouse1", "M-2_day3", "_"}) EXPECT_TRUE(check_run_name(good)) << good;
  EXPECT_EQ(check_run_name("a b").error(), "Run name 'a b' may hold only letters, digits, '-' and '_': ' ' is not one");
  EXPECT_EQ(check_run_name("a.b").error(), "Run name 'a.b' may hold only letters, digits, '-' and '_': '.' is not one");
  EXPECT_EQ(check_run_name("x\\y").error(), "Run name 'x\\y' may hold only letters, digits, '-' and '_': '\\' is not one");
  EXPECT_EQ(check_run_name("t\xC3\xBC").error(),
            "Run name 't\xC3\xBC' may hold only letters, digits, '-' and '_': byte 0xC3 is not one");
  EXPECT_EQ(check_run_name("").error(), "The run name is empty");
  // The library refuses it too, before it touches a file.
  TempDir dir;
  auto replayed = replay::run({.capture = dir.path() / "none.bin", .layout = {dir.path(), "my run"}});
  ASSERT_FALSE(replayed);
  EXPECT_EQ(replayed.error(), "Run name 'my run' may hold only letters, digits, '-' and '_': ' ' is not one");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(SpikeGlxRecording, Np1BinHoldsInterleavedSamplesThenSyncAndMetaDescribesIt) {
  TempDir dir;
  const Layout layout{dir.path(), "run"};
  auto configuration = imro::default_configuration(ProbeKind::np1);
  configuration.channels[7].ap_gain_code = 6;  // 2000
  configuration.channels[7].lf_gain_code = 2;  // 250
  auto r = ProbeRecording::create(layout, 0, identity(ProbeKind::np1, 0, 0, 18194823012), configuration);
  ASSERT_TRUE(r) << r.error();
  write_np1(**r, 5, 100, 2);
  EXPECT_EQ((*r)->ap_samples(), 60u);
  EXPECT_EQ((*r)->lf_samples(), 5u);
  ASSERT_TRUE((*r)->close());

  const auto ap = read_int16(layout.stream_stem(0, Band::ap).string() + ".bin");
  ASSERT_EQ(ap.size(), 60u * 385);
  for (uint64_t s = 0; s < 60; ++s) {
    for (int c : {0, 1, 191, 383}) ASSERT_EQ(ap[s * 385 + c], np1_ap(s, c)) << s << " " << c;
    ASSERT_EQ(ap[s * 385 + 384], 0) << "sync of sample " << s;
  }
  const auto lf = read_int16(layout.stream_stem(0, Band::lf).string() + ".bin");
  ASSERT_EQ(lf.size(), 5u * 385);
  EXPECT_EQ(lf[3 * 385 + 200], np1_lf(3, 200));

  auto meta = read_meta(layout.stream_stem(0, Band::ap).string() + ".meta");
  EXPECT_EQ(meta["typeThis"], "imec");
  EXPECT_EQ(meta["imSampRate"], "30000");
  EXPECT_EQ(meta["nSavedChans"], "385");
  EXPECT_EQ(meta["snsApLfSy"], "384,0,1");
  EXPECT_EQ(meta["snsSaveChanSubset"], "all");
  EXPECT_EQ(meta["fileSizeBytes"], std::to_string(60 * 385 * 2));
  EXPECT_EQ(meta["fileTimeSecs"], "0.002000");
  EXPECT_EQ(meta["firstSample"], "0");
  // Forward slashes on every platform: readers take the stream's name from it.
  EXPECT_EQ(meta["fileName"], std::filesystem::absolute(layout.stream_stem(0, Band::ap).string() + ".bin").generic_string());
  EXPECT_EQ(meta["imAiRangeMax"], "0.6");
  EXPECT_EQ(meta["imAiRangeMin"], "-0.6");
  EXPECT_EQ(meta["imMaxInt"], "512");
  EXPECT_EQ(meta["imDatPrb_type"], "0");
  EXPECT_EQ(meta["imDatPrb_pn"], "PRB_1_4_0480_1");
  EXPECT_EQ(meta["imDatPrb_sn"], "18194823012");
  EXPECT_EQ(meta["imDatPrb_port"], "1");
  EXPECT_EQ(meta["imDatPrb_dock"], "1");
  EXPECT_EQ(meta["imDatPrb_slot"], "0");
  EXPECT_EQ(meta["~imroTbl"], imro::format(configuration));
  EXPECT_TRUE(meta["~imroTbl"].starts_with("(0,384)(0 0 0 1000 50 1)")) << meta["~imroTbl"].substr(0, 40);
  EXPECT_NE(meta["~imroTbl"].find("(7 0 0 2000 250 1)"), std::string::npos);
  EXPECT_EQ(meta["~muxTbl"], mux_table(ProbeKind::np1));
  EXPECT_FALSE(meta.contains("imChan0apGain")) << "NP1 gains are the table's";
  EXPECT_TRUE(meta["~snsChanMap"].starts_with("(384,384,1)(AP0;0:0)(AP1;1:1)"));
  EXPECT_TRUE(meta["~snsChanMap"].ends_with("(AP383;383:383)(SY0;768:384)"));
  EXPECT_TRUE(meta["~snsShankMap"].starts_with("(1,2,480)(0:0:0:1)(0:1:0:1)(0:0:1:1)"));
  EXPECT_NE(meta["~snsShankMap"].find("(0:1:95:0)"), std::string::npos) << "channel 191 is the reference";

  auto lf_meta = read_meta(layout.stream_stem(0, Band::lf).string() + ".meta");
  EXPECT_EQ(lf_meta["imSampRate"], "2500");
  EXPECT_EQ(lf_meta["snsApLfSy"], "0,384,1");
  EXPECT_EQ(lf_meta["fileSizeBytes"], std::to_string(5 * 385 * 2));
  EXPECT_EQ(lf_meta["fileTimeSecs"], "0.002000");
  EXPECT_TRUE(lf_meta["~snsChanMap"].starts_with("(384,384,1)(LF0;384:0)"));
}

TEST(SpikeGlxRecording, Np2ValuesAreStoredAsGivenAndTheMetaStatesOneScaleForEveryReader) {
  TempDir dir;
  const Layout layout{dir.path(), "run"};
  auto r = ProbeRecording::create(layout, 3, identity(ProbeKind::np2_four_shank, 1, 1, 5),
                                  imro::default_configuration(ProbeKind::np2_four_shank));
  ASSERT_TRUE(r) << r.error();
  std::array<int16_t, CHANNEL_COUNT> ap{};
  ap[0] = -8192;
  ap[1] = 8191;
  ap[2] = 32767;
  ap[4] = -5;  // not a multiple of 4: a corrected sample rounded once
  const uint64_t t = 42;
  ASSERT_TRUE((*r)->append_ap(ap, std::span(&t, 1)));
  EXPECT_FALSE((*r)->append_lf(ap)) << "an NP2 probe has no LF band";
  ASSERT_TRUE((*r)->close());

  EXPECT_FALSE(std::filesystem::exists(layout.stream_stem(3, Band::lf).string() + ".bin"));
  const auto values = read_int16(layout.stream_stem(3, Band::ap).string() + ".bin");
  ASSERT_EQ(values.size(), 385u);
  EXPECT_EQ((std::vector<int16_t>(values.begin(), values.begin() + 5)), (std::vector<int16_t>{-8192, 8191, 32767, 0, -5}));
  auto meta = read_meta(layout.stream_stem(3, Band::ap).string() + ".meta");
  EXPECT_EQ(meta["imMaxInt"], "8192");
  EXPECT_EQ(meta["imAiRangeMax"], "0.5");
  EXPECT_EQ(meta["imAiRangeMin"], "-0.5");
  EXPECT_EQ(meta["imChan0apGain"], "80");
  EXPECT_EQ(meta["imDatPrb_type"], "24");
  EXPECT_EQ(meta["imDatPrb_port"], "2");
  EXPECT_EQ(meta["imDatPrb_dock"], "2");
  // Every reader's µV per stored unit (the gain from imChan0apGain, or 80 for
  // types 21 and 24), times the 4 units of a code, is the probe's ADC step
  // 1.24 V / 4096 / 100 within 1 %.
  const double uv_per_unit =
      std::stod(meta["imAiRangeMax"]) / std::stod(meta["imMaxInt"]) / std::stod(meta["imChan0apGain"]) * 1e6;
  EXPECT_NEAR(uv_per_unit * NP2_FILE_SCALE / (1.24 / 4096 / 100 * 1e6), 1.0, 0.01);
  EXPECT_TRUE(meta["~snsChanMap"].starts_with("(384,0,1)(AP0;0:0)"));
  EXPECT_TRUE(meta["~snsChanMap"].ends_with("(SY0;384:384)"));
  EXPECT_TRUE(meta["~snsShankMap"].starts_with("(4,2,640)(0:0:0:1)"));
  EXPECT_TRUE(meta["~imroTbl"].starts_with("(24,384)(0 0 0 0 0)(1 0 0 0 1)"));
  EXPECT_EQ(meta["~muxTbl"], mux_table(ProbeKind::np2_four_shank));
}

// The probe's own conversion with the file's gains: (code - 2048) x
// correction x 4 truncated once, not the 12-bit value truncated and then
// multiplied.
TEST(SpikeGlxRecording, Np2FileGainsConvertCodesInOneStep) {
  std::array<float, CHANNEL_COUNT> corrections;
  corrections.fill(1.25f);
  const auto gains = np2_file_gains(corrections);
  NP2::RawAPData raw{};
  raw.samples.fill(2048);
  raw.samples[0] = 2049;      // 1 x 1.25 x 4 = 5; in two steps 1 x 4 = 4
  raw.samples[1] = 2048 - 3;  // -3.75 x 4 = -15; in two steps -12
  raw.samples[2] = 4095;      // 2047 x 5 = 10235
  NP2::APData out{};
  NP2::convert_raw_ap(raw, gains, out);
  EXPECT_EQ(out.samples[0], 5);
  EXPECT_EQ(out.samples[1], -15);
  EXPECT_EQ(out.samples[2], 10235);
  EXPECT_EQ(out.samples[3], 0);
}

TEST(SpikeGlxMeta, MuxTableListsEachSlotsChannelsInAdcOrder) {
  // From the probes' public tables: slot j of ADC i holds 24 (i div 2) +
  // 2 j + (i mod 2) on NP1 (32 ADCs of 12), 32 (i div 2) + 2 j + (i mod 2)
  // on NP2 (24 ADCs of 16).
  struct Case {
    ProbeKind kind;
    int adcs, per_adc, block;
  };
  for (const auto& k : {Case{ProbeKind::np1, 32, 12, 24}, Case{ProbeKind::np2_single_shank, 24, 16, 32},
                        Case{ProbeKind::np2_four_shank, 24, 16, 32}}) {
    std::string expected = fmt::format("({},{})", k.adcs, k.per_adc);
    for (int j = 0; j < k.per_adc; ++j) {
      expected += "(";
      for (int i = 0; i < k.adcs; ++i) expected += fmt::format("{}{}", i ? " " : "", k.block * (i / 2) + 2 * j + i % 2);
      expected += ")";
    }
    EXPECT_EQ(mux_table(k.kind), expected) << display_name(k.kind);
  }
  EXPECT_TRUE(mux_table(ProbeKind::np1).starts_with("(32,12)(0 1 24 25 48 49 "));
}

TEST(SpikeGlxMeta, FileNameHasForwardSlashes) {
  EXPECT_EQ(meta_file_name(R"(C:\data\my run\x_g0_t0.imec0.ap.bin)"), "C:/data/my run/x_g0_t0.imec0.ap.bin");
  EXPECT_EQ(meta_file_name("/data/x_g0_t0.imec0.ap.bin"), "/data/x_g0_t0.imec0.ap.bin");
}

TEST(SpikeGlxRecording, ArgumentsThatDoNotFitAreRefused) {
  TempDir dir;
  const Layout layout{dir.path(), "run"};
  auto mismatched = ProbeRecording::create(layout, 0, identity(ProbeKind::np1, 0, 0, 1),
                                           imro::default_configuration(ProbeKind::np2_single_shank));
  ASSERT_FALSE(mismatched);
  EXPECT_EQ(mismatched.error(), "imec0: the configuration is for an NP2 single-shank probe, the probe is an NP1");

  auto r = ProbeRecording::create(layout, 0, identity(ProbeKind::np1, 0, 0, 1),
                                  imro::default_configuration(ProbeKind::np1));
  ASSERT_TRUE(r);
  std::vector<int16_t> ap(2 * CHANNEL_COUNT + 1);
  std::array<uint64_t, 2> ts{};
  auto refused = (*r)->append_ap(ap, ts);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("769 AP values do not make 2 samples of 384 channels"), std::string::npos);

  for (const char* run : {"", "..", "a/b"}) {
    auto bad = ProbeRecording::create(Layout{dir.path(), run}, 0, identity(ProbeKind::np1, 0, 0, 1),
                                      imro::default_configuration(ProbeKind::np1));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), fmt::format("Run name '{}' is not a plain file name", run));
  }

  // A file where the run directory should go.
  std::ofstream(dir.path() / "blocked_g0") << "x";
  auto blocked = ProbeRecording::create(Layout{dir.path(), "blocked"}, 0, identity(ProbeKind::np1, 0, 0, 1),
                                        imro::default_configuration(ProbeKind::np1));
  ASSERT_FALSE(blocked);
  EXPECT_TRUE(blocked.error().starts_with("Cannot create directory ")) << blocked.error();
}

TEST(SpikeGlxRecording, DestructionWithoutCloseStillWritesTheMeta) {
  TempDir dir;
  const Layout layout{dir.path(), "run"};
  {
    auto r = ProbeRecording::create(layout, 1, identity(ProbeKind::np2_single_shank, 1, 0, 9),
                                    imro::default_configuration(ProbeKind::np2_single_shank));
    ASSERT_TRUE(r);
    write_np2(**r, 3, 0, 1);
  }
  auto meta = read_meta(layout.stream_stem(1, Band::ap).string() + ".meta");
  EXPECT_EQ(meta["fileSizeBytes"], std::to_string(3 * 385 * 2));
  EXPECT_EQ(std::filesystem::file_size(layout.stream_stem(1, Band::ap).string() + ".bin"), 3u * 385 * 2);
}

TEST(Npy, HeaderIsVersion1WithAlignedDataAndTheLength) {
  const auto h = npy_uint64_header(1234567);
  ASSERT_EQ(h.size(), NPY_HEADER_BYTES);
  EXPECT_EQ(h.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  EXPECT_EQ(static_cast<uint8_t>(h[8]) | (static_cast<uint8_t>(h[9]) << 8), NPY_HEADER_BYTES - 10);
  EXPECT_EQ(h.back(), '\n');
  EXPECT_NE(h.find("{'descr': '<u8', 'fortran_order': False, 'shape': (1234567,), }"), std::string::npos);
  EXPECT_EQ(npy_uint64_header(UINT64_MAX).size(), NPY_HEADER_BYTES);
}

TEST(Npy, TimestampFileHoldsEveryValueAfterItsHeader) {
  TempDir dir;
  const auto path = dir.path() / "t.npy";
  auto file = TimestampFile::create(path);
  ASSERT_TRUE(file);
  std::vector<uint64_t> values(100000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = 0xFFFF'0000'0000'0000ull + i * 3;
  ASSERT_TRUE(file->append(values));
  ASSERT_TRUE(file->close());
  const auto bytes = read_file(path);
  ASSERT_EQ(bytes.size(), NPY_HEADER_BYTES + values.size() * 8);
  EXPECT_EQ(bytes.substr(0, NPY_HEADER_BYTES), npy_uint64_header(values.size()));
  EXPECT_EQ(std::memcmp(bytes.data() + NPY_HEADER_BYTES, values.data(), values.size() * 8), 0);
}

// The field's reader sees what was written: a synthetic recording of one
// probe of each kind, checked by neo's SpikeGLX reader.
TEST(SpikeGlxRecording, NeoReadsStreamsRatesDurationsAndValues) {
  TempDir dir;
  const Layout layout{dir.path(), "synth"};
  constexpr int NP1_PACKETS = 250;  // 3000 AP samples, 0.1 s
  constexpr int NP2_SAMPLES = 3000;
  {
    auto np1 = ProbeRecording::create(layout, 0, identity(ProbeKind::np1, 0, 0, 1001),
                                      imro::default_configuration(ProbeKind::np1));
    auto single = ProbeRecording::create(layout, 1, identity(ProbeKind::np2_single_shank, 1, 0, 1002),
                                         imro::default_configuration(ProbeKind::np2_single_shank));
    auto four = ProbeRecording::create(layout, 2, identity(ProbeKind::np2_four_shank, 1, 1, 1003),
                                       imro::default_configuration(ProbeKind::np2_four_shank));
    ASSERT_TRUE(np1 && single && four);
    write_np1(**np1, NP1_PACKETS, 5000, 3);
    write_np2(**single, NP2_SAMPLES, 77, 1);
    write_np2(**four, NP2_SAMPLES, 77, 1);
    ASSERT_TRUE((*np1)->close());
    ASSERT_TRUE((*single)->close());
    ASSERT_TRUE((*four)->close());
  }

  using nlohmann::json;
  auto values = [](int samples, auto f, int scale) {
    json v = json::array();
    for (int s = 0; s < samples; s += 37)
      for (int c : {0, 1, 2, 100, 191, 192, 383}) v.push_back({s, c, f(s, c) * scale});
    v.push_back({samples - 1, 383, f(samples - 1, 383) * scale});
    return v;
  };
  json expectation;
  expectation["duration"] = 0.1;
  expectation["streams"]["imec0.ap"] = {{"rate", 30000}, {"channels", 384}, {"samples", NP1_PACKETS * 12},
                                        {"gain_uv", 0.6 / 512 / 1000 * 1e6}, {"sync", 0},
                                        {"values", values(NP1_PACKETS * 12, np1_ap, 1)},
                                        {"timestamps", {{"first", 5000}, {"step", 3}}}};
  expectation["streams"]["imec0.lf"] = {{"rate", 2500}, {"channels", 384}, {"samples", NP1_PACKETS},
                                        {"gain_uv", 0.6 / 512 / 50 * 1e6}, {"sync", 0},
                                        {"values", values(NP1_PACKETS, np1_lf, 1)}};
  for (const char* name : {"imec1.ap", "imec2.ap"})
    expectation["streams"][name] = {{"rate", 30000}, {"channels", 384}, {"samples", NP2_SAMPLES},
                                    {"gain_uv", 0.5 / 8192 / 80 * 1e6}, {"sync", 0},
                                    {"values", values(NP2_SAMPLES, np2_ap, 4)},
                                    {"timestamps", {{"first", 77}, {"step", 1}}}};
  const auto expectation_path = dir.path() / "expectation.json";
  std::ofstream(expectation_path) << expectation.dump();

  const auto command = fmt::format("/usr/bin/python3 {}/tests/tools/check_neo.py {} {} 2>&1", PELIONP_SOURCE_DIR,
                                   layout.root.string(), expectation_path.string());
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("matches (4 streams)"), std::string::npos) << output;
}

}  // namespace
}  // namespace pelionp::record::spikeglx
