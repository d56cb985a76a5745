#include "tools/preview/preview.h"

#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>
#include <regex>

namespace pelionp::tool::preview {

namespace {

using Meta = std::map<std::string, std::string>;

constexpr int HEADER = 36;       // the run's title
constexpr int TITLE = 44;        // a panel's title and colour bar
constexpr int FOOTER = 36;       // time axis and margins
constexpr int MARGIN = 24;
constexpr int PROBE_WIDTH = 240;
constexpr int GAP = 48;

std::expected<Meta, std::string> read_meta(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(fmt::format("Cannot open {}", path.string()));
  Meta meta;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq != std::string::npos) meta[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return meta;
}

std::expected<std::string, std::string> key(const Meta& meta, const std::string& name, const std::filesystem::path& path) {
  auto it = meta.find(name);
  if (it == meta.end()) return std::unexpected(fmt::format("{}: no {}", path.string(), name));
  return it->second;
}

struct Site {
  int channel = 0;
  int shank = 0;
  int x = 0;  // from the shank's left edge, µm
  int z = 0;  // from the tip row, µm
};

struct Geometry {
  std::string part_number;
  int shanks = 1;
  int pitch = 0;
  int width = 70;
  std::vector<Site> sites;  // used channels only
};

std::expected<Geometry, std::string> parse_geometry(const std::string& text) {
  static const std::regex header(R"(^\(([^,()]*),(\d+),(\d+),(\d+)\))");
  static const std::regex entry(R"(\((\d+):(\d+):(\d+):([01])\))");
  std::smatch m;
  if (!std::regex_search(text, m, header)) return std::unexpected(std::string("~snsGeomMap has no header"));
  Geometry g{m[1], std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), {}};
  if (g.shanks < 1 || g.shanks > 4 || g.width <= 0) return std::unexpected(std::string("~snsGeomMap header is out of range"));
  int channel = 0;
  for (auto it = std::sregex_iterator(text.begin() + m.length(0), text.end(), entry); it != std::sregex_iterator();
       ++it, ++channel) {
    if ((*it)[4] == "1")
      g.sites.push_back({channel, std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3])});
  }
  if (g.sites.empty()) return std::unexpected(std::string("~snsGeomMap lists no used site"));
  return g;
}

struct ProbeData {
  ProbePanel panel;
  Geometry geometry;
  bool wideband = false;  // NP2: the .ap.bin holds the LFP band too
  double rate = 30000;
  int saved_channels = 0;
  std::vector<int16_t> samples;  // rows of saved_channels
  std::size_t rows() const { return saved_channels ? samples.size() / saved_channels : 0; }
};

std::expected<ProbeData, std::string> read_probe(const std::filesystem::path& meta_path, const Options& options) {
  auto meta = read_meta(meta_path);
  if (!meta) return std::unexpected(meta.error());
  ProbeData probe;
  auto geom = key(*meta, "~snsGeomMap", meta_path);
  auto saved = key(*meta, "nSavedChans", meta_path);
  auto rate = key(*meta, "imSampRate", meta_path);
  if (!geom) return std::unexpected(geom.error());
  if (!saved) return std::unexpected(saved.error());
  if (!rate) return std::unexpected(rate.error());
  auto geometry = parse_geometry(*geom);
  if (!geometry) return std::unexpected(fmt::format("{}: {}", meta_path.string(), geometry.error()));
  probe.geometry = std::move(*geometry);
  probe.saved_channels = std::atoi(saved->c_str());
  probe.rate = std::atof(rate->c_str());
  if (probe.saved_channels <= 0 || probe.rate <= 0)
    return std::unexpected(fmt::format("{}: nSavedChans or imSampRate is not positive", meta_path.string()));
  for (const auto& s : probe.geometry.sites)
    if (s.channel >= probe.saved_channels)
      return std::unexpected(fmt::format("{}: ~snsGeomMap lists more channels than are saved", meta_path.string()));
  probe.panel.part_number = probe.geometry.part_number;
  probe.panel.serial = meta->contains("imDatPrb_sn") ? meta->at("imDatPrb_sn") : "";
  probe.wideband = meta->contains("imDatPrb_type") && meta->at("imDatPrb_type") != "0";

  auto bin_path = meta_path;
  bin_path.replace_extension(".bin");
  std::ifstream bin(bin_path, std::ios::binary);
  if (!bin) return std::unexpected(fmt::format("Cannot open {}", bin_path.string()));
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(bin_path, ec);
  if (ec) return std::unexpected(fmt::format("Cannot size {}: {}", bin_path.string(), ec.message()));
  const std::size_t row_bytes = static_cast<std::size_t>(probe.saved_channels) * sizeof(int16_t);
  const auto wanted = static_cast<std::size_t>(std::max(options.rms_seconds, options.trace_seconds) * probe.rate);
  const std::size_t rows = std::min<std::size_t>(bytes / row_bytes, wanted);
  probe.samples.resize(rows * probe.saved_channels);
  bin.read(reinterpret_cast<char*>(probe.samples.data()), static_cast<std::streamsize>(rows * row_bytes));
  if (!bin) return std::unexpected(fmt::format("Failed to read {}", bin_path.string()));
  return probe;
}

// One-pole 300 Hz high-pass, in place: what the AP band keeps of a
// wideband stream.
void ap_highpass(std::vector<double>& v, double rate) {
  if (v.empty()) return;
  const double rc = 1.0 / (2.0 * std::numbers::pi * AP_HIGHPASS_HZ);
  const double a = rc / (rc + 1.0 / rate);
  double previous_in = v[0];
  double previous_out = 0;
  for (double& x : v) {
    const double out = a * (previous_out + x - previous_in);
    previous_in = x;
    previous_out = out;
    x = out;
  }
}

// Dark (quiet) to bright (strong): black, red, yellow, white; brightness
// rises with the value throughout.
void set_heat(cairo_t* cr, double v) {
  v = std::clamp(v, 0.0, 1.0);
  cairo_set_source_rgb(cr, std::clamp(3 * v, 0.0, 1.0), std::clamp(3 * v - 1, 0.0, 1.0), std::clamp(3 * v - 2, 0.0, 1.0));
}

void text(cairo_t* cr, double x, double y, double size, const std::string& s) {
  cairo_set_font_size(cr, size);
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, s.c_str());
}

void draw_probe(cairo_t* cr, ProbeData& probe, int top, int height, double low, double high) {
  const auto& g = probe.geometry;
  auto& sites = probe.panel.sites;
  const double extent = (g.shanks - 1) * g.pitch + g.width;
  const double scale_x = std::min(PROBE_WIDTH / extent, 2.0);
  const double left = MARGIN + (PROBE_WIDTH - extent * scale_x) / 2;
  int z_min = g.sites.front().z, z_max = z_min;
  for (const auto& s : g.sites) z_min = std::min(z_min, s.z), z_max = std::max(z_max, s.z);
  // The closest rows get whole pixels, so no site covers another.
  std::vector<int> zs;
  for (const auto& s : g.sites) zs.push_back(s.z);
  std::ranges::sort(zs);
  int dz = 0;
  for (size_t i = 1; i < zs.size(); ++i)
    if (zs[i] > zs[i - 1] && (dz == 0 || zs[i] - zs[i - 1] < dz)) dz = zs[i] - zs[i - 1];
  if (dz == 0) dz = 20;
  const double margin_um = 2.0 * dz;
  const double range = z_max - z_min + 2 * margin_um;
  const double row_px = std::max(1.0, std::floor(height * dz / range));
  const double scale_z = std::min(row_px / dz, height / range);
  auto y_of = [&](double z) { return top + height - std::round((z - z_min + margin_um) * scale_z); };

  // The shanks over the recorded depth, with the tip when it is in view.
  cairo_set_source_rgb(cr, 0.28, 0.28, 0.30);
  for (int s = 0; s < g.shanks; ++s) {
    const double x0 = left + s * g.pitch * scale_x;
    const double y_top = y_of(z_max + margin_um);
    const double y_bottom = y_of(z_min - margin_um);
    cairo_rectangle(cr, x0, y_top, g.width * scale_x, y_bottom - y_top);
    if (z_min - margin_um <= 0) {
      cairo_move_to(cr, x0, y_bottom);
      cairo_line_to(cr, x0 + g.width * scale_x / 2, y_bottom + 14);
      cairo_line_to(cr, x0 + g.width * scale_x, y_bottom);
      cairo_close_path(cr);
    }
    cairo_fill(cr);
  }
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  const double site_w = std::max(2.0, std::round(12 * scale_x));
  const double site_h = std::max(1.0, std::round(std::min(12, dz) * scale_z));
  for (auto& mark : sites) {
    const auto& s = *std::ranges::find(g.sites, mark.channel, &Site::channel);
    const double x0 = std::round(left + (s.shank * g.pitch + s.x) * scale_x - site_w / 2);
    const double y_bottom = y_of(s.z);
    set_heat(cr, high > low ? (mark.rms - low) / (high - low) : 1.0);
    cairo_rectangle(cr, x0, y_bottom - site_h, site_w, site_h);
    cairo_fill(cr);
    mark.centre = {x0 + site_w / 2, y_bottom - site_h / 2};
  }
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
}

void draw_traces(cairo_t* cr, const ProbeData& probe, const Options& options, double x0, double width, int top,
                 int height) {
  const auto& channels = probe.panel.trace_channels;
  if (channels.empty()) return;
  const std::size_t rows = std::min<std::size_t>(probe.rows(), static_cast<std::size_t>(options.trace_seconds * probe.rate));
  const double lane = static_cast<double>(height) / static_cast<double>(channels.size());
  std::vector<double> means;
  double peak = 1;
  for (int c : channels) {
    double sum = 0;
    for (std::size_t r = 0; r < rows; ++r) sum += probe.samples[r * probe.saved_channels + c];
    means.push_back(rows ? sum / static_cast<double>(rows) : 0);
    for (std::size_t r = 0; r < rows; ++r)
      peak = std::max(peak, std::abs(probe.samples[r * probe.saved_channels + c] - means.back()));
  }
  const double gain = lane * 0.48 / peak;  // one scale for every lane: amplitudes compare
  const int columns = static_cast<int>(width);
  cairo_set_line_width(cr, 1.0);
  for (std::size_t i = 0; i < channels.size(); ++i) {
    const double mid = top + lane * (static_cast<double>(i) + 0.5);
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    text(cr, x0 - GAP + 4, mid + 4, 10, fmt::format("ch {}", channels[i]));
    cairo_set_source_rgb(cr, 0.55, 0.85, 1.0);
    for (int col = 0; col < columns && rows > 0; ++col) {
      const std::size_t a = rows * col / columns;
      const std::size_t b = std::max(a + 1, rows * (col + 1) / columns);
      int lo = INT16_MAX, hi = INT16_MIN;
      for (std::size_t r = a; r < b && r < rows; ++r) {
        const int v = probe.samples[r * probe.saved_channels + channels[i]];
        lo = std::min(lo, v), hi = std::max(hi, v);
      }
      cairo_move_to(cr, x0 + col + 0.5, mid - (hi - means[i]) * gain - 0.5);
      cairo_line_to(cr, x0 + col + 0.5, mid - (lo - means[i]) * gain + 0.5);
    }
    cairo_stroke(cr);
  }
  // Time axis.
  cairo_set_source_rgb(cr, 0.7, 0.7, 0.7);
  const double seconds = static_cast<double>(rows) / probe.rate;
  for (int t = 0; t <= 5; ++t) {
    const double x = x0 + width * t / 5.0;
    cairo_move_to(cr, x + 0.5, top + height + 2);
    cairo_line_to(cr, x + 0.5, top + height + 7);
    cairo_stroke(cr);
    text(cr, x - 10, top + height + 20, 10, fmt::format("{:.2f} s", seconds * t / 5.0));
  }
}

std::expected<std::vector<std::filesystem::path>, std::string> probe_metas(const std::filesystem::path& run) {
  std::error_code ec;
  std::vector<std::pair<int, std::filesystem::path>> found;
  static const std::regex folder(R"(.*_imec(\d+)$)");
  for (const auto& entry : std::filesystem::directory_iterator(run, ec)) {
    std::smatch m;
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory() || !std::regex_match(name, m, folder)) continue;
    for (const auto& file : std::filesystem::directory_iterator(entry.path(), ec)) {
      const std::string f = file.path().filename().string();
      if (f.ends_with(".ap.meta")) found.emplace_back(std::stoi(m[1]), file.path());
    }
  }
  if (ec) return std::unexpected(fmt::format("Cannot read {}: {}", run.string(), ec.message()));
  if (found.empty()) return std::unexpected(fmt::format("{} holds no <run>_imec<N> folder with an .ap.meta", run.string()));
  std::ranges::sort(found);
  std::vector<std::filesystem::path> metas;
  for (auto& [n, path] : found) metas.push_back(std::move(path));
  return metas;
}

}  // namespace

std::expected<Picture, std::string> render(const std::filesystem::path& run_directory, const std::filesystem::path& png,
                                           const Options& options) {
  auto metas = probe_metas(run_directory);
  if (!metas) return std::unexpected(metas.error());
  std::vector<ProbeData> probes;
  for (const auto& meta : *metas) {
    auto probe = read_probe(meta, options);
    if (!probe) return std::unexpected(probe.error());
    const std::string file = meta.filename().string();
    const auto imec = file.find("imec");
    probe->panel.name = file.substr(imec, file.find('.', imec) - imec);
    probes.push_back(std::move(*probe));
  }

  Picture picture{options.width, HEADER + options.panel_height * static_cast<int>(probes.size()), {}};
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, picture.width, picture.height), cairo_surface_destroy);
  std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context(cairo_create(surface.get()), cairo_destroy);
  cairo_t* cr = context.get();
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS)
    return std::unexpected(fmt::format("Cannot draw a {}x{} picture: {}", picture.width, picture.height,
                                       cairo_status_to_string(cairo_status(cr))));
  cairo_set_source_rgb(cr, 0.1, 0.1, 0.11);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_source_rgb(cr, 0.95, 0.95, 0.95);
  text(cr, MARGIN, 24, 16, fmt::format("{}: {} probe(s)", run_directory.filename().string(), probes.size()));

  for (std::size_t i = 0; i < probes.size(); ++i) {
    auto& probe = probes[i];
    const int y0 = HEADER + options.panel_height * static_cast<int>(i);
    const int body_top = y0 + TITLE;
    const int body_height = options.panel_height - TITLE - FOOTER;
    // AP RMS per used site, about each channel's mean; wideband streams
    // through the AP high-pass first.
    const std::size_t rms_rows = std::min<std::size_t>(probe.rows(), static_cast<std::size_t>(options.rms_seconds * probe.rate));
    double low = INFINITY, high = -INFINITY;
    for (const auto& s : probe.geometry.sites) {
      std::vector<double> band(rms_rows);
      for (std::size_t r = 0; r < rms_rows; ++r) band[r] = probe.samples[r * probe.saved_channels + s.channel];
      if (probe.wideband) ap_highpass(band, probe.rate);
      double sum = 0, squares = 0;
      for (double v : band) sum += v, squares += v * v;
      const double n = std::max<double>(1, static_cast<double>(rms_rows));
      const double rms = std::sqrt(std::max(0.0, squares / n - (sum / n) * (sum / n)));
      probe.panel.sites.push_back({s.channel, rms, {}});
      low = std::min(low, rms), high = std::max(high, rms);
    }
    const int traced = std::min<int>(options.trace_channels, static_cast<int>(probe.geometry.sites.size()));
    for (int t = 0; t < traced; ++t)
      probe.panel.trace_channels.push_back(
          probe.geometry.sites[(2 * t + 1) * probe.geometry.sites.size() / (2 * traced)].channel);

    cairo_set_source_rgb(cr, 0.95, 0.95, 0.95);
    text(cr, MARGIN, y0 + 26, 14,
         fmt::format("{}   {}   serial {}   {} sites", probe.panel.name, probe.panel.part_number, probe.panel.serial,
                     probe.panel.sites.size()));
    // Colour bar of the site map.
    const double bar_x = MARGIN + PROBE_WIDTH + GAP + 420;
    for (int k = 0; k < 160; ++k) {
      set_heat(cr, k / 159.0);
      cairo_rectangle(cr, bar_x + k, y0 + 16, 1, 12);
      cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0.8, 0.8, 0.8);
    text(cr, bar_x - 150, y0 + 26, 11, fmt::format("AP RMS {:.1f}", low));
    text(cr, bar_x + 166, y0 + 26, 11, fmt::format("{:.1f} counts", high));

    draw_probe(cr, probe, body_top, body_height, low, high);
    const double traces_x = MARGIN + PROBE_WIDTH + GAP;
    draw_traces(cr, probe, options, traces_x, options.width - MARGIN - traces_x, body_top, body_height);
    picture.probes.push_back(probe.panel);
  }
  cairo_surface_flush(surface.get());
  if (const auto status = cairo_surface_write_to_png(surface.get(), png.string().c_str()); status != CAIRO_STATUS_SUCCESS)
    return std::unexpected(fmt::format("Failed to write {}: {}", png.string(), cairo_status_to_string(status)));
  return picture;
}

}  // namespace pelionp::tool::preview
