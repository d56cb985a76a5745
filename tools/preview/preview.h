#pragma once
// The picture of a recording, from its files alone: per probe (each
// <run>_g0_imec<N> folder), a panel with the probe's outline and every
// recorded site coloured by its AP-band RMS (dark: quiet, bright: strong),
// and half a second of traces from a handful of channels, labelled with
// probe, part number, serial and time. Panels stack top to bottom.
//
// Sites are placed from the .ap.meta's ~snsGeomMap, values read from the
// .ap.bin (nSavedChans int16 per sample). Plain function: the caller's
// thread does all the work.

#include <array>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace pelionp::tool::preview {

// Wideband streams (NP2) pass a one-pole high-pass at this corner before
// their RMS is taken; NP1 .ap.bin files hold the AP band already.
inline constexpr double AP_HIGHPASS_HZ = 300.0;

struct Options {
  int width = 1200;
  int panel_height = 440;    // per probe
  double trace_seconds = 0.5;
  int trace_channels = 8;
  double rms_seconds = 2.0;  // at most this much of each .bin feeds the RMS
};

struct SiteMark {
  int channel = 0;
  double rms = 0;             // AP counts, as in the .bin
  std::array<double, 2> centre{};  // pixel centre of the drawn site
};

struct ProbePanel {
  std::string name;           // "imec0"
  std::string part_number;
  std::string serial;
  std::vector<SiteMark> sites;  // the used channels of the geometry map
  std::vector<int> trace_channels;
};

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<ProbePanel> probes;
};

// Reads the run folder, draws and writes `png`.
std::expected<Picture, std::string> render(const std::filesystem::path& run_directory, const std::filesystem::path& png,
                                           const Options& options = {});

}  // namespace pelionp::tool::preview
