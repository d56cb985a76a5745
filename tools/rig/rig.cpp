#include "tools/rig/rig.h"

#include "record/context.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

namespace pelionp::tool::rig {

namespace {

using json = nlohmann::json;

std::string_view trim(std::string_view s) noexcept {
  constexpr std::string_view blanks = " \t\r\n";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(trim(text.substr(0, at)));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::expected<int, std::string> parse_port(std::string_view text) {
  int port = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc{} || end != text.data() + text.size() || port < 0 || port >= PORT_COUNT)
    return std::unexpected(fmt::format("port '{}' is not 0..{}", text, PORT_COUNT - 1));
  return port;
}

// "single", "four", "empty" (and the probe kind keys for symmetry).
std::expected<std::optional<Probe>, std::string> parse_dock(std::string_view text) {
  if (text == "empty") return std::optional<Probe>{};
  if (text == "single" || text == key(ProbeKind::np2_single_shank)) return Probe{ProbeKind::np2_single_shank, {}};
  if (text == "four" || text == key(ProbeKind::np2_four_shank)) return Probe{ProbeKind::np2_four_shank, {}};
  return std::unexpected(fmt::format("dock '{}' is not single, four or empty", text));
}

std::string_view dock_word(const std::optional<Probe>& probe) {
  if (!probe) return "empty";
  return probe->kind == ProbeKind::np2_four_shank ? "four" : "single";
}

std::expected<std::optional<uint64_t>, std::string> optional_serial(const json& object) {
  if (!object.contains("serial")) return std::optional<uint64_t>{};
  const auto& s = object.at("serial");
  if (!s.is_number_unsigned()) return std::unexpected(fmt::format("serial {} is not an unsigned integer", s.dump()));
  return std::optional<uint64_t>{s.get<uint64_t>()};
}

std::expected<Rig, std::string> rig_from_json(const json& document) {
  if (!document.is_object() || !document.contains("ports") || !document.at("ports").is_array())
    return std::unexpected(std::string("expected an object with a \"ports\" array"));
  Rig rig;
  std::array<bool, PORT_COUNT> named{};
  for (const auto& entry : document.at("ports")) {
    if (!entry.is_object() || !entry.contains("port") || !entry.at("port").is_number_integer())
      return std::unexpected(fmt::format("port entry {} has no integer \"port\"", entry.dump()));
    const auto port = entry.at("port").get<int64_t>();
    if (port < 0 || port >= PORT_COUNT) return std::unexpected(fmt::format("port {} is not 0..{}", port, PORT_COUNT - 1));
    if (named[port]) return std::unexpected(fmt::format("port {} is described twice", port));
    named[port] = true;
    auto& p = rig.ports[port];
    if (entry.contains("headstage") && !entry.at("headstage").is_string())
      return std::unexpected(fmt::format("port {}: \"headstage\" is not a string", port));
    const auto headstage = entry.value("headstage", std::string("none"));
    auto serial = optional_serial(entry);
    if (!serial) return std::unexpected(fmt::format("port {}: {}", port, serial.error()));
    if (headstage == "none") {
      if (entry.contains("docks")) return std::unexpected(fmt::format("port {}: no headstage but docks", port));
    } else if (headstage == "np1") {
      if (entry.contains("docks")) return std::unexpected(fmt::format("port {}: an NP1 headstage has no docks", port));
      p.headstage = Headstage::np1;
      p.docks[0] = Probe{ProbeKind::np1, *serial};
    } else if (headstage == "np2") {
      p.headstage = Headstage::np2;
      const auto docks = entry.value("docks", json::array());
      if (!docks.is_array() || docks.size() > DOCK_COUNT)
        return std::unexpected(fmt::format("port {}: \"docks\" must be an array of up to two docks", port));
      for (size_t d = 0; d < docks.size(); ++d) {
        const auto& dock = docks[d];
        if (dock.is_null()) continue;
        if (!dock.is_object() || !dock.contains("probe") || !dock.at("probe").is_string())
          return std::unexpected(fmt::format("port {} dock {}: expected {{\"probe\": ...}}", port, d));
        auto probe = parse_dock(dock.at("probe").get<std::string>());
        if (!probe) return std::unexpected(fmt::format("port {} dock {}: {}", port, d, probe.error()));
        auto dock_serial = optional_serial(dock);
        if (!dock_serial) return std::unexpected(fmt::format("port {} dock {}: {}", port, d, dock_serial.error()));
        if (*probe) (*probe)->serial = *dock_serial;
        p.docks[d] = *probe;
      }
    } else {
      return std::unexpected(fmt::format("port {}: headstage '{}' is not np1, np2 or none", port, headstage));
    }
  }
  return rig;
}

}  // namespace

Rig default_rig() {
  Rig rig;
  rig.ports[0] = Port{Headstage::np1, {Probe{ProbeKind::np1, {}}, std::nullopt}};
  rig.ports[1] = Port{Headstage::np2, {Probe{ProbeKind::np2_single_shank, {}}, Probe{ProbeKind::np2_four_shank, {}}}};
  return rig;
}

Rig full_np2_rig() {
  Rig rig;
  for (auto& port : rig.ports)
    port = Port{Headstage::np2, {Probe{ProbeKind::np2_single_shank, {}}, Probe{ProbeKind::np2_four_shank, {}}}};
  return rig;
}

std::expected<Rig, std::string> parse_compact(std::string_view text) {
  const auto context = fmt::format("rig '{}'", text);
  if (trim(text).empty()) return std::unexpected(fmt::format("{}: empty", context));
  Rig rig;
  std::array<bool, PORT_COUNT> named{};
  for (const auto item : split(text, ',')) {
    const auto eq = item.find('=');
    if (eq == std::string_view::npos)
      return std::unexpected(fmt::format("{}: '{}' is not PORT=np1 or PORT=np2:DOCKS", context, item));
    const auto port = parse_port(trim(item.substr(0, eq)));
    if (!port) return std::unexpected(fmt::format("{}: {}", context, port.error()));
    if (named[*port]) return std::unexpected(fmt::format("{}: port {} is named twice", context, *port));
    named[*port] = true;
    const auto contents = trim(item.substr(eq + 1));
    auto& p = rig.ports[*port];
    if (contents == "none") continue;
    if (contents == "np1") {
      p = Port{Headstage::np1, {Probe{ProbeKind::np1, {}}, std::nullopt}};
      continue;
    }
    if (!contents.starts_with("np2")) return std::unexpected(fmt::format("{}: port {}: '{}' is not np1, np2 or none", context, *port, contents));
    p.headstage = Headstage::np2;
    auto docks = contents.substr(3);
    if (docks.empty()) continue;
    if (docks.front() != ':') return std::unexpected(fmt::format("{}: port {}: expected np2:DOCK0+DOCK1", context, *port));
    const auto words = split(docks.substr(1), '+');
    if (words.size() > DOCK_COUNT) return std::unexpected(fmt::format("{}: port {}: an NP2 headstage has two docks", context, *port));
    for (size_t d = 0; d < words.size(); ++d) {
      auto probe = parse_dock(words[d]);
      if (!probe) return std::unexpected(fmt::format("{}: port {}: {}", context, *port, probe.error()));
      p.docks[d] = *probe;
    }
  }
  return rig;
}

std::expected<Rig, std::string> parse_json(std::string_view text) {
  const auto document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return std::unexpected(std::string("rig description is not valid JSON"));
  return rig_from_json(document);
}

std::expected<Rig, std::string> read_file(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::unexpected(fmt::format("Cannot open rig file {}", file.string()));
  std::ostringstream text;
  text << in.rdbuf();
  return with_context(parse_json(text.str()), file.string());
}

std::expected<Rig, std::string> parse_rig_argument(std::string_view argument) {
  std::error_code ec;
  const std::filesystem::path path(argument);
  if (std::filesystem::is_regular_file(path, ec)) return read_file(path);
  return parse_compact(argument);
}

std::string to_compact(const Rig& rig) {
  std::vector<std::string> items;
  for (int port = 0; port < PORT_COUNT; ++port) {
    const auto& p = rig.ports[port];
    switch (p.headstage) {
      case Headstage::none: break;
      case Headstage::np1: items.push_back(fmt::format("{}=np1", port)); break;
      case Headstage::np2:
        items.push_back(fmt::format("{}=np2:{}+{}", port, dock_word(p.docks[0]), dock_word(p.docks[1])));
        break;
    }
  }
  return items.empty() ? std::string("0=none") : fmt::format("{}", fmt::join(items, ","));
}

std::string to_json(const Rig& rig) {
  json ports = json::array();
  for (int port = 0; port < PORT_COUNT; ++port) {
    const auto& p = rig.ports[port];
    json entry{{"port", port}};
    auto add_serial = [](json& object, const std::optional<Probe>& probe) {
      if (probe && probe->serial) object["serial"] = *probe->serial;
    };
    switch (p.headstage) {
      case Headstage::none: entry["headstage"] = "none"; break;
      case Headstage::np1:
        entry["headstage"] = "np1";
        add_serial(entry, p.docks[0]);
        break;
      case Headstage::np2: {
        entry["headstage"] = "np2";
        json docks = json::array();
        for (const auto& dock : p.docks) {
          if (!dock) {
            docks.push_back(nullptr);
            continue;
          }
          json d{{"probe", std::string(dock_word(dock))}};
          add_serial(d, dock);
          docks.push_back(d);
        }
        entry["docks"] = docks;
        break;
      }
    }
    ports.push_back(entry);
  }
  return json{{"ports", ports}}.dump(2);
}

}  // namespace pelionp::tool::rig
