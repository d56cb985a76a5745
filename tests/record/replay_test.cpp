// Replay end to end: captures laid out with the simulated board's stream
// encoders (the wire format written independently of the library) go
// through the library's coordinator, decoder workers and packet assembly,
// and come out as recordings whose samples are the encoded codes.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string_view>
#include <vector>

#include "sim/stream_encoders.h"
#include "tests/support/log_capture.h"
#include "tests/support/read_back.h"
#include "tests/support/temp_dir.h"
#include "record/capture/census.h"
#include "record/capture/sidecar.h"
#include "record/imro/imro.h"
#include "record/replay/replay.h"

namespace pelionp::record::replay {
namespace {

using capture::GainCorrection;
using capture::Sidecar;
using capture::StreamDescription;
using spikeglx::Band;
using spikeglx::Layout;
using test::read_int16;
using test::read_meta;
using test::read_npy_u64;
using test::TempDir;

constexpr uint64_t FIRST_TIMESTAMP = 5000;
constexpr int SAVED = 385;

uint16_t np1_ap_code(uint64_t group, int c) { return static_cast<uint16_t>((group * 7 + c * 13) % 1024); }
uint16_t np1_lf_code(uint64_t superframe, int c) { return static_cast<uint16_t>((superframe * 11 + c * 5) % 1024); }
uint16_t np2_code(uint64_t superframe, int c, int salt) {
  return static_cast<uint16_t>((superframe * 3 + c * 17 + salt * 1000) % 4096);
}

// What the recording must hold for a code: the probe's packet value
// (single precision, truncated); NP2 on the file's scale, x 4 before the
// one truncation.
int16_t np1_value(uint16_t code, float gain) {
  return static_cast<int16_t>(static_cast<int32_t>(static_cast<float>(512 - code) * gain));
}
int16_t np2_value(uint16_t code, float gain) {
  return static_cast<int16_t>(static_cast<int32_t>(static_cast<float>(code - 2048) * (gain * 4)));
}

// A capture of `ticks` sample ticks: the board's timestamp word per tick,
// then the probe streams interleaved word by word.
struct CaptureSpec {
  std::vector<uint8_t> np1_sids;
  std::vector<uint8_t> np2_sids;
  std::size_t ticks = 12 * 20;
};

std::vector<uint8_t> make_capture(const CaptureSpec& spec) {
  sim::TimestampEncoder timestamps(FIRST_TIMESTAMP);
  sim::StreamInterleaver interleaver(timestamps);
  std::vector<std::unique_ptr<sim::WordSource>> sources;
  for (uint8_t sid : spec.np1_sids)
    sources.push_back(std::make_unique<sim::NP1Encoder>(sid, sim::NP1Samples{np1_ap_code, np1_lf_code}));
  for (uint8_t sid : spec.np2_sids)
    sources.push_back(std::make_unique<sim::NP2Encoder>(
        sid, sim::NP2Samples{[sid](uint64_t s, int c) { return np2_code(s, c, sid); }}));
  for (auto& s : sources) interleaver.add(*s);
  std::vector<uint8_t> bytes;
  interleaver.append_ticks(bytes, spec.ticks);
  return bytes;
}

void write_bytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out);
}

GainCorrection ramp(float base, float step, int period) {
  GainCorrection g{};
  for (int c = 0; c < CHANNEL_COUNT; ++c) g[c] = base + step * static_cast<float>(c % period);
  return g;
}

// The default rig: NP1 on port 0, NP2 single- and four-shank on port 1.
Sidecar default_rig() {
  StreamDescription np1;
  np1.sid = 0;
  np1.probe = {ProbeKind::np1, "PRB_1_4_0480_1", 18005106831, "NP2_FLEX_0", "NP2_HS_30", 0, 0, 0};
  np1.configuration = imro::default_configuration(ProbeKind::np1);
  np1.configuration.channels[3].ap_gain_code = 7;
  np1.ap_gain_correction = ramp(0.5f, 0.25f, 7);
  np1.lf_gain_correction = ramp(1.5f, -0.25f, 3);
  StreamDescription single;
  single.sid = 9;
  single.probe = {ProbeKind::np2_single_shank, "NP2003", 21, "NPNH_FLEX", "NPM_HS_30", 1, 0, 0};
  single.configuration = imro::default_configuration(ProbeKind::np2_single_shank);
  StreamDescription four;
  four.sid = 13;
  four.probe = {ProbeKind::np2_four_shank, "NP2013", 22, "NPNH_FLEX", "NPM_HS_30", 1, 1, 0};
  four.configuration = imro::default_configuration(ProbeKind::np2_four_shank);
  four.ap_gain_correction = ramp(1.0f, 0.1f, 5);
  return {{np1, single, four}};
}

// A warning whose text contains `needle`.
bool warned(const pelionp::test::LogCapture& logs, std::string_view needle) {
  return std::ranges::any_of(logs.at(spdlog::level::warn),
                             [&](const std::string& text) { return text.find(needle) != std::string::npos; });
}

GainCorrection unit() {
  GainCorrection g{};
  g.fill(1.0f);
  return g;
}

// Every sample, sync channel and timestamp of an NP1 recording.
void expect_np1_files(const Layout& layout, int index, std::size_t ticks, const GainCorrection& ap_gain,
                      const GainCorrection& lf_gain) {
  const auto ap = read_int16(layout.stream_stem(index, Band::ap).string() + ".bin");
  ASSERT_EQ(ap.size(), ticks * SAVED);
  for (std::size_t g = 0; g < ticks; ++g) {
    for (int c = 0; c < CHANNEL_COUNT; ++c)
      ASSERT_EQ(ap[g * SAVED + c], np1_value(np1_ap_code(g, c), ap_gain[c])) << "group " << g << " channel " << c;
    ASSERT_EQ(ap[g * SAVED + CHANNEL_COUNT], 0);
  }
  const auto lf = read_int16(layout.stream_stem(index, Band::lf).string() + ".bin");
  ASSERT_EQ(lf.size(), ticks / 12 * SAVED);
  for (std::size_t s = 0; s < ticks / 12; ++s)
    for (int c = 0; c < CHANNEL_COUNT; ++c)
      ASSERT_EQ(lf[s * SAVED + c], np1_value(np1_lf_code(s, c), lf_gain[c])) << "superframe " << s << " channel " << c;
  const auto ts = read_npy_u64(spikeglx::timestamps_path(layout.stream_stem(index, Band::ap)));
  ASSERT_EQ(ts.size(), ticks);
  for (std::size_t g = 0; g < ticks; ++g) ASSERT_EQ(ts[g], FIRST_TIMESTAMP + g);
}

void expect_np2_files(const Layout& layout, int index, uint8_t sid, std::size_t ticks, const GainCorrection& gain) {
  const auto ap = read_int16(layout.stream_stem(index, Band::ap).string() + ".bin");
  ASSERT_EQ(ap.size(), ticks * SAVED);
  for (std::size_t s = 0; s < ticks; ++s)
    for (int c = 0; c < CHANNEL_COUNT; ++c)
      ASSERT_EQ(ap[s * SAVED + c], np2_value(np2_code(s, c, sid), gain[c])) << "superframe " << s << " channel " << c;
  EXPECT_FALSE(std::filesystem::exists(layout.stream_stem(index, Band::lf).string() + ".bin"));
  const auto ts = read_npy_u64(spikeglx::timestamps_path(layout.stream_stem(index, Band::ap)));
  ASSERT_EQ(ts.size(), ticks);
  for (std::size_t s = 0; s < ticks; ++s) ASSERT_EQ(ts[s], FIRST_TIMESTAMP + s);
}

TEST(Replay, DefaultRigCaptureBecomesItsRecordingWithTheSidecarsMetadataAndCorrections) {
  TempDir dir;
  const CaptureSpec spec{{0}, {9, 13}, 12 * 20};
  const auto capture = dir.path() / "rig.raw";
  write_bytes(capture, make_capture(spec));
  const Sidecar rig = default_rig();
  ASSERT_TRUE(capture::write(capture::sidecar_path(capture), rig));

  const Layout layout{dir.path() / "out", "mouse"};
  auto summary = run({.capture = capture, .layout = layout});
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_TRUE(summary->sidecar);
  ASSERT_EQ(summary->streams.size(), 3u);
  EXPECT_EQ(summary->streams[0].sid, 0);
  EXPECT_EQ(summary->streams[0].words, spec.ticks * 65);
  EXPECT_EQ(summary->streams[0].lf_samples, spec.ticks / 12);
  EXPECT_EQ(summary->streams[2].ap_samples, spec.ticks);

  expect_np1_files(layout, 0, spec.ticks, *rig.streams[0].ap_gain_correction, *rig.streams[0].lf_gain_correction);
  expect_np2_files(layout, 1, 9, spec.ticks, unit());
  expect_np2_files(layout, 2, 13, spec.ticks, *rig.streams[2].ap_gain_correction);

  for (int i = 0; i < 3; ++i) {
    const auto& d = rig.streams[i];
    auto meta = read_meta(layout.stream_stem(i, Band::ap).string() + ".meta");
    EXPECT_EQ(meta["imDatPrb_pn"], d.probe.probe_pn);
    EXPECT_EQ(meta["imDatPrb_sn"], std::to_string(d.probe.serial));
    EXPECT_EQ(meta["imDatPrb_type"], std::to_string(imro_type(d.probe.kind)));
    EXPECT_EQ(meta["imDatPrb_port"], std::to_string(d.probe.port + 1));
    EXPECT_EQ(meta["imDatPrb_dock"], std::to_string(d.probe.dock + 1));
    EXPECT_EQ(meta["~imroTbl"], imro::format(d.configuration));
    EXPECT_EQ(meta["fileSizeBytes"], std::to_string(spec.ticks * SAVED * 2));
  }
}

TEST(Replay, BufferBoundariesDoNotChangeTheResult) {
  TempDir dir;
  const CaptureSpec spec{{1}, {10}, 12 * 6};
  const auto capture = dir.path() / "c.raw";
  write_bytes(capture, make_capture(spec));
  // Odd-sized buffers with one in flight: every cut lands somewhere else in
  // the frames, rows and timestamp words.
  const Layout layout{dir.path() / "out", "small"};
  auto summary = run({.capture = capture, .layout = layout, .buffer_bytes = 16 * 61, .buffers_in_flight = 1});
  ASSERT_TRUE(summary) << summary.error();
  expect_np1_files(layout, 0, spec.ticks, unit(), unit());
  expect_np2_files(layout, 1, 10, spec.ticks, unit());
}

TEST(Replay, WithoutSidecarProbesComeFromTheStreamIdsWithUnitCorrection) {
  TempDir dir;
  const CaptureSpec spec{{2}, {12}, 12 * 4};
  auto bytes = make_capture(spec);
  // Two words without the preamble in front, a cut-off word at the end.
  std::vector<uint8_t> garbage(32, 0x5A);
  bytes.insert(bytes.begin(), garbage.begin(), garbage.end());
  bytes.insert(bytes.end(), {0xD2, 0x00, 0x01, 0x02, 0x03});
  const auto capture = dir.path() / "bare.raw";
  write_bytes(capture, bytes);

  pelionp::test::LogCapture logs;
  const Layout layout{dir.path() / "out", "bare"};
  auto summary = run({.capture = capture, .layout = layout});
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_FALSE(summary->sidecar);
  EXPECT_EQ(summary->skipped_words, 2u);
  ASSERT_EQ(summary->streams.size(), 2u);
  // (port, dock) order: the NP2 probe on port 0 is imec0.
  EXPECT_EQ(summary->streams[0].probe.kind, ProbeKind::np2_single_shank);
  EXPECT_EQ(summary->streams[0].probe.port, 0);
  EXPECT_EQ(summary->streams[0].probe.dock, 1);
  EXPECT_EQ(summary->streams[1].probe.kind, ProbeKind::np1);
  EXPECT_EQ(summary->streams[1].probe.port, 2);
  EXPECT_TRUE(warned(logs, "No sidecar"));
  EXPECT_TRUE(warned(logs, "SID 12: an NP2 stream; without a sidecar"));
  EXPECT_TRUE(warned(logs, "ends with 5 bytes of a cut-off word"));
  EXPECT_TRUE(warned(logs, "Skipped 2 words without the stream preamble"));

  expect_np2_files(layout, 0, 12, spec.ticks, unit());
  expect_np1_files(layout, 1, spec.ticks, unit(), unit());
  auto meta = read_meta(layout.stream_stem(0, Band::ap).string() + ".meta");
  EXPECT_EQ(meta["imDatPrb_type"], "21");
  EXPECT_EQ(meta["~imroTbl"], imro::format(imro::default_configuration(ProbeKind::np2_single_shank)));
}

TEST(Replay, SidecarAndCaptureThatDisagreeAreReported) {
  TempDir dir;
  const auto capture = dir.path() / "c.raw";
  write_bytes(capture, make_capture({{0}, {9}, 12 * 2}));  // SID 13 of the rig is absent
  Sidecar rig = default_rig();
  rig.streams.erase(rig.streams.begin() + 1);  // drop SID 9: its words are not decoded
  ASSERT_TRUE(capture::write(capture::sidecar_path(capture), rig));

  pelionp::test::LogCapture logs;
  auto summary = run({.capture = capture, .layout = {dir.path() / "out", "x"}});
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_TRUE(logs.contains(spdlog::level::warn, "SID 9: 1152 words that the sidecar does not describe; not decoded"));
  EXPECT_TRUE(logs.contains(spdlog::level::warn, "SID 13: the sidecar describes a probe on port 1 dock 1, but the "
                                                 "capture holds none of its words"));
  ASSERT_EQ(summary->streams.size(), 2u);
  EXPECT_EQ(summary->streams[1].ap_samples, 0u) << "an empty recording, still with its .meta";
  EXPECT_TRUE(std::filesystem::exists(Layout{dir.path() / "out", "x"}.stream_stem(1, Band::ap).string() + ".meta"));
}

TEST(Replay, UnusableInputsAreErrorsNamingTheFile) {
  TempDir dir;
  const auto missing = dir.path() / "missing.raw";
  auto r = run({.capture = missing, .layout = {dir.path() / "out", "x"}});
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("Cannot open " + missing.string()), std::string::npos) << r.error();
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "out")) << "nothing written";

  const auto timestamps_only = dir.path() / "ts.raw";
  std::vector<uint8_t> bytes;
  sim::TimestampEncoder ts;
  for (int i = 0; i < 10; ++i) ts.append(bytes);
  write_bytes(timestamps_only, bytes);
  r = run({.capture = timestamps_only, .layout = {dir.path() / "out", "x"}});
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("holds no probe stream"), std::string::npos) << r.error();

  const auto bad_sidecar = dir.path() / "bad.raw";
  write_bytes(bad_sidecar, make_capture({{0}, {}, 12}));
  std::ofstream(capture::sidecar_path(bad_sidecar)) << "{\"format\": \"pelionp-capture\", \"version\": 7}";
  r = run({.capture = bad_sidecar, .layout = {dir.path() / "out", "x"}});
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find(capture::sidecar_path(bad_sidecar).string()), std::string::npos) << r.error();
  EXPECT_NE(r.error().find("version 7 is not supported"), std::string::npos) << r.error();
}

// A capture that lost a stretch of a probe's words (the board sent only its
// timestamps): the replayed file keeps time as a live recording's does,
// the stretch filled with zero rows and listed in the .meta.
TEST(Replay, WordsMissingFromTheCaptureAreAGapKeptInPlace) {
  TempDir dir;
  constexpr std::size_t TICKS = 600, LOST_FROM = 200, LOST_TO = 320;
  const CaptureSpec spec{{}, {9}, TICKS};
  auto bytes = make_capture(spec);
  // Each tick: its timestamp word, then the probe's 48 words.
  constexpr std::size_t TICK_BYTES = (1 + 48) * 16;
  ASSERT_EQ(bytes.size(), TICKS * TICK_BYTES);
  std::vector<uint8_t> lossy;
  for (std::size_t t = 0; t < TICKS; ++t) {
    const auto tick = bytes.begin() + static_cast<std::ptrdiff_t>(t * TICK_BYTES);
    lossy.insert(lossy.end(), tick, tick + (t >= LOST_FROM && t < LOST_TO ? 16 : TICK_BYTES));
  }
  const auto capture = dir.path() / "lossy.raw";
  write_bytes(capture, lossy);
  const Layout layout{dir.path() / "out", "lossy"};
  auto summary = run({.capture = capture, .layout = layout});
  ASSERT_TRUE(summary) << summary.error();

  const auto stem = layout.stream_stem(0, Band::ap);
  const auto ts = read_npy_u64(spikeglx::timestamps_path(stem));
  const auto ap = read_int16(stem.string() + ".bin");
  ASSERT_EQ(ts.size(), TICKS) << "every tick of the capture has its row";
  ASSERT_EQ(ap.size(), TICKS * SAVED);
  std::size_t filled = 0;
  for (std::size_t s = 0; s < TICKS; ++s) {
    ASSERT_EQ(ts[s], FIRST_TIMESTAMP + s);
    if (ap[s * SAVED + CHANNEL_COUNT] & spikeglx::SYNC_FILLED) {
      ++filled;
      ASSERT_GE(s, LOST_FROM) << "a row before the loss filled";
      continue;
    }
    for (int c = 0; c < CHANNEL_COUNT; c += 11)
      ASSERT_EQ(ap[s * SAVED + c], np2_value(np2_code(s, c, 9), 1.0f)) << "sample " << s << " channel " << c;
  }
  EXPECT_GE(filled, LOST_TO - LOST_FROM);
  EXPECT_LT(filled, LOST_TO - LOST_FROM + 12) << "the decoder finds its rows again at once";
  EXPECT_EQ(read_meta(stem.string() + ".meta")["pelionpGaps"],
            fmt::format("({},{},resync)", FIRST_TIMESTAMP + LOST_FROM, filled));
}

TEST(CaptureCensus, CountsWordsPerSidAndDescribesProbesInPortDockOrder) {
  std::vector<uint8_t> bytes = make_capture({{3}, {8, 15}, 1});
  bytes.insert(bytes.end(), 16, 0x00);  // one word without the preamble
  capture::Census census;
  capture::count_words(bytes, census);
  EXPECT_EQ(census.words[4], 1u);
  EXPECT_EQ(census.words[3], 65u);
  EXPECT_EQ(census.words[8], 48u);
  EXPECT_EQ(census.words[15], 48u);
  EXPECT_EQ(census.invalid_words, 1u);
  EXPECT_EQ(census.total_words(), 1u + 65 + 48 + 48 + 1);
  const auto described = capture::describe_from_census(census);
  ASSERT_EQ(described.streams.size(), 3u);
  EXPECT_EQ(described.streams[0].sid, 8);   // port 0 dock 0
  EXPECT_EQ(described.streams[1].sid, 3);   // port 3 dock 0
  EXPECT_EQ(described.streams[2].sid, 15);  // port 3 dock 1
  EXPECT_FALSE(described.streams[0].ap_gain_correction) << "unit correction";
}

// Words written as a pattern: 'P' a word with the preamble, '-' one without.
std::vector<uint8_t> words_of(std::string_view pattern) {
  std::vector<uint8_t> bytes;
  for (char c : pattern) {
    std::array<uint8_t, 16> word{};
    word[0] = c == 'P' ? 0xD8 : 0x38;
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  return bytes;
}

TEST(CaptureCensus, BuffersBeginOnAPreambleAndTheLastOneCarriesOn) {
  struct Case {
    std::string_view words;
    bool last_chunk;
    std::size_t start, end;  // in words
  };
  for (const auto& c : std::initializer_list<Case>{
           {"PPPP", false, 0, 3},  // the last word begins the next chunk
           {"PPPP", true, 0, 4},
           {"--PP-P-", false, 2, 5},
           {"--PP-P-", true, 2, 7},
           {"P---", false, 0, 4},  // its only word with the preamble is its first: whole
           {"----", false, 4, 4},  // nothing to hand over; every word skipped
           {"----", true, 4, 4},
           {"", true, 0, 0},
       }) {
    auto bytes = words_of(c.words);
    const auto cut = capture::cut_buffer(bytes, c.last_chunk);
    EXPECT_EQ(cut, (capture::BufferCut{c.start * 16, c.end * 16})) << c.words << (c.last_chunk ? " (last)" : "");
  }
  auto ragged = words_of("PP-P");
  ragged.resize(ragged.size() + 5);  // a cut-off word at the capture's end stays out
  EXPECT_EQ(capture::cut_buffer(ragged, true), (capture::BufferCut{0, 64}));
}

}  // namespace
}  // namespace pelionp::record::replay
