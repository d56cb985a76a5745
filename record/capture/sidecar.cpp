#include "record/capture/sidecar.h"

#include "pelionp/demux/sid.h"

#include <fmt/format.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "record/context.h"
#include "record/imro/imro.h"

namespace pelionp::record::capture {

namespace {

using json = nlohmann::json;
constexpr std::string_view FORMAT = "pelionp-capture";
constexpr int VERSION = 1;

template <class T>
using Result = std::expected<T, std::string>;

Result<const json*> field(const json& object, std::string_view name) {
  const auto it = object.find(name);
  if (it == object.end()) return std::unexpected(fmt::format("missing \"{}\"", name));
  return &*it;
}

Result<uint64_t> unsigned_field(const json& object, std::string_view name, uint64_t max) {
  auto v = field(object, name);
  if (!v) return std::unexpected(v.error());
  if (!(*v)->is_number_unsigned() || (*v)->get<uint64_t>() > max)
    return std::unexpected(fmt::format("\"{}\" is {}, expected an integer 0..{}", name, (*v)->dump(), max));
  return (*v)->get<uint64_t>();
}

Result<std::string> string_field(const json& object, std::string_view name) {
  auto v = field(object, name);
  if (!v) return std::unexpected(v.error());
  if (!(*v)->is_string()) return std::unexpected(fmt::format("\"{}\" is not a string", name));
  return (*v)->get<std::string>();
}

Result<std::optional<GainCorrection>> optional_correction(const json& object, std::string_view name) {
  const auto it = object.find(name);
  if (it == object.end()) return std::optional<GainCorrection>{};
  if (!it->is_array() || it->size() != CHANNEL_COUNT)
    return std::unexpected(fmt::format("\"{}\" is not an array of {} numbers", name, CHANNEL_COUNT));
  GainCorrection values{};
  for (int c = 0; c < CHANNEL_COUNT; ++c) {
    const auto& v = (*it)[c];
    if (!v.is_number()) return std::unexpected(fmt::format("\"{}\"[{}] is not a number", name, c));
    values[c] = v.get<float>();
  }
  return std::optional<GainCorrection>{values};
}

json correction_json(const GainCorrection& values) { return json(values); }

Result<StreamDescription> stream_from_json(const json& s) {
  if (!s.is_object()) return std::unexpected(std::string("not an object"));
  StreamDescription d;
  auto sid = unsigned_field(s, "sid", 15);
  if (!sid) return std::unexpected(sid.error());
  d.sid = static_cast<uint8_t>(*sid);
  auto kind_text = string_field(s, "kind");
  if (!kind_text) return std::unexpected(kind_text.error());
  const auto kind = kind_from_key(*kind_text);
  if (!kind) return std::unexpected(fmt::format("\"kind\" '{}' is not np1, np2-1shank or np2-4shank", *kind_text));
  d.probe.kind = *kind;
  auto port = unsigned_field(s, "port", 3);
  auto dock = unsigned_field(s, "dock", 1);
  auto serial = unsigned_field(s, "serial", UINT64_MAX);
  auto probe_pn = string_field(s, "probe_pn");
  auto flex_pn = string_field(s, "flex_pn");
  auto headstage_pn = string_field(s, "headstage_pn");
  for (const auto* r : {&port, &dock, &serial})
    if (!*r) return std::unexpected(r->error());
  for (const auto* r : {&probe_pn, &flex_pn, &headstage_pn})
    if (!*r) return std::unexpected(r->error());
  d.probe.port = static_cast<int>(*port);
  d.probe.dock = static_cast<int>(*dock);
  d.probe.serial = *serial;
  d.probe.probe_pn = *probe_pn;
  d.probe.flex_pn = *flex_pn;
  d.probe.headstage_pn = *headstage_pn;
  if (*kind == ProbeKind::np1 && d.probe.dock != 0) return std::unexpected(std::string("an NP1 probe has no dock 1"));
  if (d.sid != stream_id(*kind, d.probe.port, d.probe.dock))
    return std::unexpected(fmt::format("SID {} does not belong to an {} probe on port {} dock {}", d.sid,
                                       display_name(*kind), d.probe.port, d.probe.dock));
  auto imro_text = string_field(s, "imro");
  if (!imro_text) return std::unexpected(imro_text.error());
  auto configuration = imro::parse_configuration(*imro_text, *kind);
  if (!configuration) return std::unexpected(configuration.error());
  d.configuration = *configuration;
  auto ap = optional_correction(s, "ap_gain_correction");
  if (!ap) return std::unexpected(ap.error());
  d.ap_gain_correction = *ap;
  auto lf = optional_correction(s, "lf_gain_correction");
  if (!lf) return std::unexpected(lf.error());
  if (*lf && *kind != ProbeKind::np1) return std::unexpected(std::string("an NP2 probe has no LF gain correction"));
  d.lf_gain_correction = *lf;
  return d;
}

}  // namespace

std::filesystem::path sidecar_path(const std::filesystem::path& capture) {
  auto path = capture;
  path += ".json";
  return path;
}

uint8_t stream_id(ProbeKind kind, int port, int dock) noexcept {
  const auto sid = demux::sid_of(port, dock, kind == ProbeKind::np1 ? demux::StreamKind::NP1 : demux::StreamKind::NP2);
  // NB: 0xFF matches no SID, so a sidecar naming a port outside 0..3 is refused.
  return sid ? static_cast<uint8_t>(demux::to_underlying(*sid)) : uint8_t{0xFF};
}

std::string to_json(const Sidecar& sidecar) {
  json streams = json::array();
  for (const auto& d : sidecar.streams) {
    json s{{"sid", d.sid},
           {"kind", std::string(key(d.probe.kind))},
           {"port", d.probe.port},
           {"dock", d.probe.dock},
           {"probe_pn", d.probe.probe_pn},
           {"serial", d.probe.serial},
           {"flex_pn", d.probe.flex_pn},
           {"headstage_pn", d.probe.headstage_pn},
           {"imro", imro::format(d.configuration)}};
    if (d.ap_gain_correction) s["ap_gain_correction"] = correction_json(*d.ap_gain_correction);
    if (d.lf_gain_correction) s["lf_gain_correction"] = correction_json(*d.lf_gain_correction);
    streams.push_back(std::move(s));
  }
  return json{{"format", FORMAT}, {"version", VERSION}, {"streams", streams}}.dump(1);
}

std::expected<Sidecar, std::string> parse(std::string_view text) {
  const auto document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return std::unexpected(std::string("capture sidecar is not valid JSON"));
  if (!document.is_object() || document.value("format", json()) != FORMAT)
    return std::unexpected(fmt::format("capture sidecar: \"format\" is not \"{}\"", FORMAT));
  if (document.value("version", json()) != VERSION)
    return std::unexpected(fmt::format("capture sidecar: version {} is not supported (expected {})",
                                       document.value("version", json()).dump(), VERSION));
  const auto streams = document.find("streams");
  if (streams == document.end() || !streams->is_array())
    return std::unexpected(std::string("capture sidecar: missing \"streams\" array"));
  Sidecar sidecar;
  std::array<bool, 16> seen{};
  for (size_t i = 0; i < streams->size(); ++i) {
    auto d = stream_from_json((*streams)[i]);
    if (!d) return std::unexpected(fmt::format("capture sidecar: stream {}: {}", i, d.error()));
    if (seen[d->sid]) return std::unexpected(fmt::format("capture sidecar: stream {}: SID {} appears twice", i, d->sid));
    seen[d->sid] = true;
    sidecar.streams.push_back(std::move(*d));
  }
  return sidecar;
}

std::expected<void, std::string> write(const std::filesystem::path& file, const Sidecar& sidecar) {
  // Binary: the same bytes on every platform (no CR LF on Windows).
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << to_json(sidecar) << '\n';
  out.close();
  if (!out) return std::unexpected(fmt::format("Failed to write {}", file.string()));
  return {};
}

std::expected<Sidecar, std::string> read(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::unexpected(fmt::format("Cannot open {}", file.string()));
  std::ostringstream text;
  text << in.rdbuf();
  return with_context(parse(text.str()), file.string());
}

}  // namespace pelionp::record::capture
