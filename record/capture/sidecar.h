#pragma once
// The JSON description saved beside a raw capture (`--raw FILE` writes the
// device stream bytes to FILE and this to FILE.json), so that `replay` can
// decode the capture offline and write the same metadata a live recording
// would. Per stream: the SID, where the probe sat, who it is, the
// configuration that was uploaded (as an IMRO table) and, when calibration
// was applied, the per-channel gain corrections (absent: unit correction).
//
//   {"format": "pelionp-capture", "version": 1,
//    "streams": [{"sid": 0, "kind": "np1", "port": 0, "dock": 0,
//                 "probe_pn": "...", "serial": 123, "flex_pn": "...",
//                 "headstage_pn": "...", "imro": "(0,384)(0 0 0 500 50 1)...",
//                 "ap_gain_correction": [384 floats], "lf_gain_correction": [...]}]}

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "record/imro/configuration.h"
#include "record/spikeglx/meta.h"

#include "record/export.h"

namespace pelionp::record::capture {

using GainCorrection = std::array<float, CHANNEL_COUNT>;

struct PELIONP_RECORD_API StreamDescription {
  uint8_t sid = 0;  // 0..3 NP1 on port p; 8..15 NP2 (8 + port dock 0, 12 + port dock 1)
  spikeglx::ProbeIdentity probe;
  imro::ProbeConfiguration configuration;
  std::optional<GainCorrection> ap_gain_correction;  // NP2: the probe's only correction
  std::optional<GainCorrection> lf_gain_correction;  // NP1 only

  friend bool operator==(const StreamDescription&, const StreamDescription&) = default;
};

struct PELIONP_RECORD_API Sidecar {
  std::vector<StreamDescription> streams;  // in (port, dock) order
};

// FILE -> FILE.json
PELIONP_RECORD_API std::filesystem::path sidecar_path(const std::filesystem::path& capture);

// The SID a probe streams on: NP1 port p -> p; NP2 -> 8 + p (dock 0), 12 + p (dock 1).
PELIONP_RECORD_API uint8_t stream_id(ProbeKind kind, int port, int dock) noexcept;

PELIONP_RECORD_API std::string to_json(const Sidecar& sidecar);
// Checks every field, and that each stream's SID, kind, port and dock agree.
PELIONP_RECORD_API std::expected<Sidecar, std::string> parse(std::string_view text);

PELIONP_RECORD_API std::expected<void, std::string> write(const std::filesystem::path& file, const Sidecar& sidecar);
PELIONP_RECORD_API std::expected<Sidecar, std::string> read(const std::filesystem::path& file);

}  // namespace pelionp::record::capture
