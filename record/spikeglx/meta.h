#pragma once
// The `.meta` side of a SpikeGLX-style stream: key=value lines describing the
// probe, the stream and its configuration, written when the stream closes.
//
// Conventions of the format kept here: `imDatPrb_port` and `imDatPrb_dock`
// count from 1 (board port 0 is port 1); NP2 samples are stored on the 14-bit
// scale (imMaxInt=8192) so the format's NP2 gain formula holds.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "record/imro/configuration.h"
#include "record/probe_kind.h"

#include "record/export.h"

namespace pelionp::record::spikeglx {

enum class Band : uint8_t { ap, lf };

inline constexpr int SAVED_CHANNELS = CHANNEL_COUNT + 1;  // + the sync channel
inline constexpr double AP_SAMPLE_RATE = 30000.0;
inline constexpr double LF_SAMPLE_RATE = 2500.0;

PELIONP_RECORD_API std::string_view band_name(Band band) noexcept;  // "ap", "lf"
PELIONP_RECORD_API double sample_rate(Band band) noexcept;

// Who the probe is and where it sits.
struct PELIONP_RECORD_API ProbeIdentity {
  ProbeKind kind = ProbeKind::np1;
  std::string probe_pn;
  uint64_t serial = 0;
  std::string flex_pn;
  std::string headstage_pn;
  int port = 0;  // board port 0..3
  int dock = 0;  // 0 for NP1, 0..1 for NP2
  int slot = 0;  // board number, for rigs of several boards

  friend bool operator==(const ProbeIdentity&, const ProbeIdentity&) = default;
};

// A stretch of a stream the probe did not deliver, filled with zero samples.
struct PELIONP_RECORD_API Gap {
  uint64_t timestamp = 0;  // device timestamp where it begins
  uint64_t samples = 0;    // samples of this stream filled
  std::string cause;       // "stream_late", "queue_full", "resync", "no_data", "timestamp_back"
  friend bool operator==(const Gap&, const Gap&) = default;
};

struct PELIONP_RECORD_API StreamSummary {
  Band band = Band::ap;
  uint64_t sample_count = 0;  // samples per channel in the .bin
  uint64_t first_sample = 0;
  std::string file_name;      // the .bin path
  std::string create_time;    // ISO 8601 local time, "2024-05-01T12:00:00"
  // Our own keys: "pelionpGaps" lists each gap as (timestamp,samples,cause);
  // "pelionpBackwardTimestamps" counts packets whose timestamp went back;
  // "pelionpSyncSource" says what the sync column carries.
  std::vector<Gap> gaps{};
  uint64_t backward_timestamps = 0;
  std::string sync_source = "none";
};

// The whole .meta text, one "key=value\n" line per key, tilde keys last.
PELIONP_RECORD_API std::string format_meta(const ProbeIdentity& probe, const imro::ProbeConfiguration& configuration,
                        const StreamSummary& stream);

// `~snsChanMap`, `~snsShankMap` and `~snsGeomMap` values. The geometry map
// opens with (part number,shanks,shank pitch µm,shank width µm), then per
// neural channel (shank:x:z:used), x from the shank's left edge and z from
// the tip row in µm.
PELIONP_RECORD_API std::string channel_map(ProbeKind kind, Band band);
PELIONP_RECORD_API std::string shank_map(const imro::ProbeConfiguration& configuration);
PELIONP_RECORD_API std::string geom_map(std::string_view part_number, const imro::ProbeConfiguration& configuration);

}  // namespace pelionp::record::spikeglx
