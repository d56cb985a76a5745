// `pelionp preview` draws a recording of the simulated board: the picture
// has the size of its panels, and the sites the simulated probes drive
// hardest are the brightest.

#include <gtest/gtest.h>

#ifdef PELIONP_HAVE_PREVIEW

#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <numeric>

#include "sim/probes/np1_signal.h"
#include "sim/probes/np2_probe.h"
#include "record/imro/configuration.h"
#include "record/spikeglx/npy.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"
#include "tools/commands/sim_rig.h"
#include "tools/preview/preview.h"

namespace pelionp::tool::test {
namespace {

using commands::default_sim_serial;
using pelionp::test::TempDir;

std::vector<uint64_t> read_timestamps(const std::filesystem::path& npy) {
  std::ifstream in(npy, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<uint64_t> values((bytes.size() - spikeglx::NPY_HEADER_BYTES) / 8);
  std::memcpy(values.data(), bytes.data() + spikeglx::NPY_HEADER_BYTES, values.size() * 8);
  return values;
}

// What the simulated probe sends on channel c at a timestamp, with the
// default configuration (bank 0, shank 0).
double simulated_code(ProbeKind kind, uint64_t serial, uint64_t timestamp, int channel) {
  const auto setting = imro::default_configuration(kind).channels[static_cast<size_t>(channel)];
  const auto electrode = imro::electrode_of(kind, channel, setting);
  if (kind == ProbeKind::np1) return sim::np1_ap_code(serial, *electrode, timestamp);
  return sim::np2_electrode_signal(serial, setting.shank, static_cast<uint16_t>(*electrode), timestamp);
}

// The AP band of a wideband stream as the preview defines it: a one-pole
// high-pass at preview::AP_HIGHPASS_HZ.
std::vector<double> ap_band(std::vector<double> v) {
  const double rc = 1.0 / (2.0 * std::numbers::pi * preview::AP_HIGHPASS_HZ);
  const double a = rc / (rc + 1.0 / 30000.0);
  double previous_in = v[0], previous_out = 0;
  for (double& x : v) {
    previous_out = a * (previous_out + x - previous_in);
    previous_in = x;
    x = previous_out;
  }
  return v;
}

double rms(const std::vector<double>& v) {
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
  double squares = 0;
  for (double x : v) squares += (x - mean) * (x - mean);
  return std::sqrt(squares / static_cast<double>(v.size()));
}

struct Image {
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface{nullptr, cairo_surface_destroy};
  int brightness(double x, double y) const {
    const auto* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    uint32_t pixel;
    std::memcpy(&pixel, data + static_cast<int>(y) * stride + static_cast<int>(x) * 4, 4);
    return static_cast<int>(((pixel >> 16) & 0xFF) + ((pixel >> 8) & 0xFF) + (pixel & 0xFF));
  }
};

TEST(PreviewCommand, DrawsEveryProbeWithTheStrongestSimulatedSitesBrightest) {
  REQUIRE_TOOL();
  TempDir dir;
  ToolProcess record(TOOL, {"record", "--seconds", "0.6", "--out", dir.path().string(), "--run", "pv"}, dir.path());
  ASSERT_TRUE(record.started());
  ASSERT_EQ(record.wait(), 0) << record.err();
  const auto run = dir.path() / "pv_g0";
  const auto png = dir.path() / "pv.png";
  ToolProcess preview(TOOL, {"preview", run.string(), "--out", png.string()}, dir.path());
  ASSERT_TRUE(preview.started());
  ASSERT_EQ(preview.wait(), 0) << preview.err();
  EXPECT_NE(preview.out().find("Preview: " + png.string() + " (1200x1356, 3 probe(s))"), std::string::npos)
      << preview.out();

  // The same picture in-process, for where each site was drawn.
  const auto again = dir.path() / "again.png";
  auto picture = preview::render(run, again);
  ASSERT_TRUE(picture) << picture.error();
  Image image;
  image.surface.reset(cairo_image_surface_create_from_png(png.string().c_str()));
  ASSERT_EQ(cairo_surface_status(image.surface.get()), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(image.surface.get()), 1200);
  EXPECT_EQ(cairo_image_surface_get_height(image.surface.get()), 36 + 3 * 440);
  ASSERT_EQ(picture->probes.size(), 3u);
  EXPECT_EQ(picture->probes[0].name, "imec0");
  EXPECT_EQ(picture->probes[0].serial, std::to_string(default_sim_serial(ProbeKind::np1, 0, 0)));
  EXPECT_EQ(picture->probes[2].part_number, "NP2014");

  const std::array kinds{ProbeKind::np1, ProbeKind::np2_single_shank, ProbeKind::np2_four_shank};
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE(fmt::format("imec{}", n));
    const auto kind = kinds[n];
    const uint64_t serial = default_sim_serial(kind, n == 0 ? 0 : 1, n == 0 ? 0 : n - 1);
    const auto ts = read_timestamps(run / fmt::format("pv_g0_imec{}", n) / fmt::format("pv_g0_t0.imec{}.ap.timestamps.npy", n));
    ASSERT_GT(ts.size(), 1000u);
    // Rank the drawn sites by the strength of what the simulated board sent.
    const auto& sites = picture->probes[n].sites;
    ASSERT_EQ(sites.size(), kind == ProbeKind::np1 ? 383u : 384u);
    std::vector<std::pair<double, const preview::SiteMark*>> ranked;
    for (const auto& site : sites) {
      std::vector<double> codes;
      for (uint64_t t : ts) codes.push_back(simulated_code(kind, serial, t, site.channel));
      ranked.emplace_back(rms(kind == ProbeKind::np1 ? codes : ap_band(codes)), &site);
    }
    std::ranges::sort(ranked, {}, &std::pair<double, const preview::SiteMark*>::first);
    ASSERT_LT(ranked.front().first * 1.2, ranked.back().first) << "the simulated sites must differ in strength";
    int weakest_brightest = 0;
    int strongest_dimmest = 3 * 255;
    for (int k = 0; k < 5; ++k) {
      const auto* weak = ranked[k].second;
      const auto* strong = ranked[ranked.size() - 1 - k].second;
      weakest_brightest = std::max(weakest_brightest, image.brightness(weak->centre[0], weak->centre[1]));
      strongest_dimmest = std::min(strongest_dimmest, image.brightness(strong->centre[0], strong->centre[1]));
    }
    EXPECT_GT(strongest_dimmest, weakest_brightest);
    EXPECT_EQ(image.brightness(ranked.back().second->centre[0], ranked.back().second->centre[1]), 3 * 255)
        << "the strongest site is drawn white";
  }
}

TEST(PreviewCommand, NamesWhatIsMissingFromAFolderThatIsNotARecording) {
  TempDir dir;
  auto picture = preview::render(dir.path(), dir.path() / "x.png");
  ASSERT_FALSE(picture);
  EXPECT_NE(picture.error().find("holds no <run>_imec<N> folder"), std::string::npos) << picture.error();
  std::filesystem::create_directories(dir.path() / "r_g0_imec0");
  std::ofstream(dir.path() / "r_g0_imec0" / "r_g0_t0.imec0.ap.meta") << "nSavedChans=385\nimSampRate=30000\n";
  picture = preview::render(dir.path(), dir.path() / "x.png");
  ASSERT_FALSE(picture);
  EXPECT_NE(picture.error().find("no ~snsGeomMap"), std::string::npos) << picture.error();
}

}  // namespace
}  // namespace pelionp::tool::test

#endif  // PELIONP_HAVE_PREVIEW
