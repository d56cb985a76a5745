#pragma once
// What the simulated board has plugged in: per port an optional headstage,
// and for NP2 headstages a probe (or nothing) in each of the two docks. The
// command layer builds the simulated board from it.
//
// Two ways to write one:
//   compact  "0=np1,1=np2:single+four"   port=np1 | port=np2:DOCK0[+DOCK1],
//            a dock being single, four or empty; ports not named are empty
//   JSON     {"ports": [{"port": 0, "headstage": "np1", "serial": 123},
//                       {"port": 1, "headstage": "np2",
//                        "docks": [{"probe": "single"}, {"probe": "four", "serial": 7}]}]}
//            "serial" is optional everywhere (the board picks one when absent)
// `parse_rig_argument` takes either: a path to an existing file is read as
// JSON, anything else is the compact form.

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/record_names.h"

namespace pelionp::tool::rig {

inline constexpr int PORT_COUNT = 4;
inline constexpr int DOCK_COUNT = 2;

enum class Headstage : uint8_t { none, np1, np2 };

struct Probe {
  ProbeKind kind = ProbeKind::np1;
  std::optional<uint64_t> serial;
  friend bool operator==(const Probe&, const Probe&) = default;
};

struct Port {
  Headstage headstage = Headstage::none;
  // NP1: docks[0] holds the probe; NP2: one entry per dock.
  std::array<std::optional<Probe>, DOCK_COUNT> docks{};
  friend bool operator==(const Port&, const Port&) = default;
};

struct Rig {
  std::array<Port, PORT_COUNT> ports{};
  friend bool operator==(const Rig&, const Rig&) = default;
};

// NP1 on port 0; NP2 on port 1 with a single-shank probe in dock 0 and a
// four-shank probe in dock 1; ports 2 and 3 empty.
Rig default_rig();
inline constexpr std::string_view DEFAULT_RIG = "0=np1,1=np2:single+four";
// Four NP2 headstages with two probes each: the benchmark's full rig.
Rig full_np2_rig();

std::expected<Rig, std::string> parse_compact(std::string_view text);
std::expected<Rig, std::string> parse_json(std::string_view text);
std::expected<Rig, std::string> read_file(const std::filesystem::path& file);
std::expected<Rig, std::string> parse_rig_argument(std::string_view argument);

// The compact form of a rig (serials are not part of it).
std::string to_compact(const Rig& rig);
std::string to_json(const Rig& rig);

}  // namespace pelionp::tool::rig
