#include "record/probeinterface/probe_interface.h"

#include <fmt/format.h>

#include <fstream>

#include "record/imro/adc_order.h"
#include "record/imro/geometry.h"
#include "record/imro/sites.h"

namespace pelionp::record::probeinterface {

namespace {

std::string_view model_name(ProbeKind kind) noexcept {
  switch (kind) {
    case ProbeKind::np1: return "Neuropixels 1.0";
    case ProbeKind::np2_single_shank: return "Neuropixels 2.0 - Single Shank";
    case ProbeKind::np2_four_shank: return "Neuropixels 2.0 - Four Shank";
  }
  return "";
}

// Every shank's outline, left to right, as one polygon: up the left edge,
// across the top, and down and round each tip.
nlohmann::json planar_contour(ProbeKind kind) {
  using imro::SHANK_LENGTH_UM;
  using imro::SHANK_WIDTH_UM;
  using imro::TIP_LENGTH_UM;
  const int shanks = shank_count(kind);
  const int pitch = imro::shank_pitch_um(kind);
  nlohmann::json contour = nlohmann::json::array();
  contour.push_back({0, SHANK_LENGTH_UM});
  contour.push_back({(shanks - 1) * pitch + SHANK_WIDTH_UM, SHANK_LENGTH_UM});
  for (int s = shanks - 1; s >= 0; --s) {
    const int left = s * pitch;
    contour.push_back({left + SHANK_WIDTH_UM, 0});
    contour.push_back({left + SHANK_WIDTH_UM / 2, -TIP_LENGTH_UM});
    contour.push_back({left, 0});
    // Up between this shank and the one to its left.
    if (s > 0) {
      contour.push_back({left, SHANK_LENGTH_UM - TIP_LENGTH_UM});
      contour.push_back({left - pitch + SHANK_WIDTH_UM, SHANK_LENGTH_UM - TIP_LENGTH_UM});
    }
  }
  return contour;
}

}  // namespace

nlohmann::json probe(const RecordedProbe& recorded, int channel_offset) {
  const auto& identity = recorded.identity;
  const auto kind = recorded.configuration.kind;
  const bool four_shank = kind == ProbeKind::np2_four_shank;
  nlohmann::json positions = nlohmann::json::array();
  nlohmann::json plane_axes = nlohmann::json::array();
  nlohmann::json shapes = nlohmann::json::array();
  nlohmann::json shape_params = nlohmann::json::array();
  nlohmann::json shank_ids = nlohmann::json::array();
  nlohmann::json contact_ids = nlohmann::json::array();
  nlohmann::json channels = nlohmann::json::array();
  nlohmann::json adc_groups = nlohmann::json::array();
  nlohmann::json adc_orders = nlohmann::json::array();
  nlohmann::json references = nlohmann::json::array();
  const auto sites = imro::channel_sites(recorded.configuration);
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& site = sites[c];
    if (!site.connected) continue;
    positions.push_back({site.probe_x_um(kind), site.position.z_um});
    plane_axes.push_back({{1, 0}, {0, 1}});
    shapes.push_back("square");
    shape_params.push_back({{"width", imro::SITE_SIZE_UM}});
    shank_ids.push_back(std::to_string(site.shank));
    contact_ids.push_back(four_shank ? fmt::format("s{}e{}", site.shank, site.electrode)
                                     : fmt::format("e{}", site.electrode));
    channels.push_back(channel_offset + c);
    const auto slot = imro::adc_slot(kind, c);
    adc_groups.push_back(slot.adc);
    adc_orders.push_back(slot.sample_order);
    references.push_back(site.reference);
  }
  return {
      {"ndim", 2},
      {"si_units", "um"},
      {"annotations",
       {{"model_name", model_name(kind)},
        {"manufacturer", "imec"},
        {"serial_number", std::to_string(identity.serial)},
        {"part_number", identity.probe_pn},
        {"num_adcs", imro::adc_count(kind)},
        {"num_channels_per_adc", imro::channels_per_adc(kind)}}},
      {"contact_annotations",
       {{"adc_group", std::move(adc_groups)},
        {"adc_sample_order", std::move(adc_orders)},
        {"reference_line", std::move(references)}}},
      {"contact_positions", std::move(positions)},
      {"contact_plane_axes", std::move(plane_axes)},
      {"contact_shapes", std::move(shapes)},
      {"contact_shape_params", std::move(shape_params)},
      {"probe_planar_contour", planar_contour(kind)},
      {"device_channel_indices", std::move(channels)},
      {"contact_ids", std::move(contact_ids)},
      {"shank_ids", std::move(shank_ids)},
  };
}

nlohmann::json document(std::span<const RecordedProbe> probes) {
  nlohmann::json list = nlohmann::json::array();
  int offset = 0;
  for (const auto& p : probes) {
    list.push_back(probe(p, offset));
    offset += CHANNEL_COUNT;
  }
  return {{"specification", SPECIFICATION}, {"version", VERSION}, {"probes", std::move(list)}};
}

std::expected<void, std::string> write(const std::filesystem::path& file, std::span<const RecordedProbe> probes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << document(probes).dump(1) << '\n';
  out.close();
  if (!out) return std::unexpected(fmt::format("Failed to write {}", file.string()));
  return {};
}

}  // namespace pelionp::record::probeinterface
