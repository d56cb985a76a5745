#include "record/spikeglx/meta.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "record/imro/adc_order.h"
#include "record/imro/geometry.h"
#include "record/imro/imro.h"
#include "record/imro/sites.h"

namespace pelionp::record::spikeglx {

std::string_view band_name(Band band) noexcept { return band == Band::ap ? "ap" : "lf"; }
double sample_rate(Band band) noexcept { return band == Band::ap ? AP_SAMPLE_RATE : LF_SAMPLE_RATE; }

std::array<float, CHANNEL_COUNT> np2_file_gains(std::span<const float, CHANNEL_COUNT> corrections) noexcept {
  std::array<float, CHANNEL_COUNT> gains{};
  for (size_t c = 0; c < gains.size(); ++c) gains[c] = corrections[c] * NP2_FILE_SCALE;
  return gains;
}

std::string mux_table(ProbeKind kind) {
  const int adcs = imro::adc_count(kind);
  const int slots = imro::channels_per_adc(kind);
  std::string out;
  out.reserve(CHANNEL_COUNT * 4 + 64);
  auto it = std::back_inserter(out);
  fmt::format_to(it, "({},{})", adcs, slots);
  for (int j = 0; j < slots; ++j) {
    out += '(';
    for (int i = 0; i < adcs; ++i) {
      if (i > 0) out += ' ';
      fmt::format_to(it, "{}", imro::adc_channel(kind, {i, j}));
    }
    out += ')';
  }
  return out;
}

std::string meta_file_name(std::string_view path) {
  std::string out(path);
  std::ranges::replace(out, '\\', '/');
  return out;
}

std::string channel_map(ProbeKind kind, Band band) {
  const bool has_lf = kind == ProbeKind::np1;
  std::string out;
  out.reserve(SAVED_CHANNELS * 16);
  auto it = std::back_inserter(out);
  fmt::format_to(it, "({},{},1)", CHANNEL_COUNT, has_lf ? CHANNEL_COUNT : 0);
  // Acquisition numbering: AP channels first, then LF, then sync.
  const int base = band == Band::ap ? 0 : CHANNEL_COUNT;
  const auto prefix = band == Band::ap ? "AP" : "LF";
  for (int c = 0; c < CHANNEL_COUNT; ++c) fmt::format_to(it, "({}{};{}:{})", prefix, c, base + c, c);
  const int sync = CHANNEL_COUNT * (has_lf ? 2 : 1);
  fmt::format_to(it, "(SY0;{}:{})", sync, CHANNEL_COUNT);
  return out;
}

std::string shank_map(const imro::ProbeConfiguration& configuration) {
  const auto kind = configuration.kind;
  const int rows = kind == ProbeKind::np1 ? imro::NP1_ELECTRODE_COUNT / 2 : imro::NP2_SHANK_ELECTRODE_COUNT / 2;
  std::string out;
  out.reserve(CHANNEL_COUNT * 12);
  auto it = std::back_inserter(out);
  fmt::format_to(it, "({},2,{})", shank_count(kind), rows);
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& s = configuration.channels[c];
    const auto electrode = imro::electrode_of(kind, c, s);
    // NP1 channel 191 carries the internal reference, not an electrode.
    const bool used = electrode.has_value() && !(kind == ProbeKind::np1 && c == 191);
    const int e = electrode.value_or(0);
    fmt::format_to(it, "({}:{}:{}:{})", s.shank, e % 2, e / 2, used ? 1 : 0);
  }
  return out;
}

std::string geom_map(std::string_view part_number, const imro::ProbeConfiguration& configuration) {
  const auto kind = configuration.kind;
  std::string out;
  out.reserve(CHANNEL_COUNT * 14);
  auto it = std::back_inserter(out);
  fmt::format_to(it, "({},{},{},{})", part_number, shank_count(kind), imro::shank_pitch_um(kind), imro::SHANK_WIDTH_UM);
  for (const auto& site : imro::channel_sites(configuration))
    fmt::format_to(it, "({}:{}:{}:{})", site.shank, site.position.x_um, site.position.z_um, site.used ? 1 : 0);
  return out;
}

std::string meta_tables(const ProbeIdentity& probe, const imro::ProbeConfiguration& configuration, Band band) {
  std::string out;
  auto it = std::back_inserter(out);
  auto line = [&](std::string_view key, const std::string& value) { fmt::format_to(it, "{}={}\n", key, value); };
  line("~imroTbl", imro::format(configuration));
  line("~muxTbl", mux_table(probe.kind));
  line("~snsChanMap", channel_map(probe.kind, band));
  line("~snsGeomMap", geom_map(probe.probe_pn, configuration));
  line("~snsShankMap", shank_map(configuration));
  return out;
}

std::string format_meta(const ProbeIdentity& probe, const imro::ProbeConfiguration& configuration,
                        const StreamSummary& stream) {
  return format_meta(probe, stream, meta_tables(probe, configuration, stream.band));
}

std::string format_meta(const ProbeIdentity& probe, const StreamSummary& stream, std::string_view tables) {
  const bool np1 = probe.kind == ProbeKind::np1;
  const double rate = sample_rate(stream.band);
  const uint64_t file_bytes = stream.sample_count * SAVED_CHANNELS * sizeof(int16_t);
  const auto ap_lf_sy = stream.band == Band::ap ? fmt::format("{},0,1", CHANNEL_COUNT)
                                                : fmt::format("0,{},1", CHANNEL_COUNT);
  std::string out;
  auto it = std::back_inserter(out);
  auto line = [&](std::string_view key, const auto& value) { fmt::format_to(it, "{}={}\n", key, value); };
  line("acqApLfSy", fmt::format("{},{},1", CHANNEL_COUNT, np1 ? CHANNEL_COUNT : 0));
  line("fileCreateTime", stream.create_time);
  line("fileName", meta_file_name(stream.file_name));
  line("fileSizeBytes", file_bytes);
  line("fileTimeSecs", fmt::format("{:.6f}", static_cast<double>(stream.sample_count) / rate));
  line("firstSample", stream.first_sample);
  line("imAiRangeMax", np1 ? "0.6" : fmt::format("{}", NP2_META_RANGE_V));
  line("imAiRangeMin", np1 ? "-0.6" : fmt::format("{}", -NP2_META_RANGE_V));
  if (!np1) line("imChan0apGain", NP2_META_AP_GAIN);
  line("imDatFx_pn", probe.flex_pn);
  line("imDatHs_pn", probe.headstage_pn);
  line("imDatPrb_dock", probe.dock + 1);
  line("imDatPrb_pn", probe.probe_pn);
  line("imDatPrb_port", probe.port + 1);
  line("imDatPrb_slot", probe.slot);
  line("imDatPrb_sn", probe.serial);
  line("imDatPrb_type", imro_type(probe.kind));
  line("imMaxInt", np1 ? 512 : NP2_META_MAX_INT);
  line("imSampRate", rate);
  line("nSavedChans", SAVED_CHANNELS);
  line("pelionpBackwardTimestamps", stream.backward_timestamps);
  std::string gaps;
  for (const auto& g : stream.gaps) fmt::format_to(std::back_inserter(gaps), "({},{},{})", g.timestamp, g.samples, g.cause);
  line("pelionpGaps", gaps);
  line("pelionpSyncSource", stream.sync_source);
  if (!stream.user_notes.empty()) {
    // One line, whatever the notes hold: readers split the file at newlines.
    std::string notes;
    for (const char c : stream.user_notes) {
      if (c == '\\') notes += "\\\\";
      else if (c == '\n') notes += "\\n";
      else if (c == '\r') notes += "\\r";
      else notes += c;
    }
    line("pelionpUserNotes", notes);
  }
  line("snsApLfSy", ap_lf_sy);
  line("snsSaveChanSubset", "all");
  line("typeThis", "imec");
  out += tables;
  return out;
}

}  // namespace pelionp::record::spikeglx
