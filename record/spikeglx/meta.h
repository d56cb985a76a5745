#pragma once
// The `.meta` side of a SpikeGLX-style stream: key=value lines describing the
// probe, the stream and its configuration, written when the stream closes.
//
// Conventions of the format kept here: `imDatPrb_port` and `imDatPrb_dock`
// count from 1 (board port 0 is port 1); `fileName` has forward slashes on
// every platform.
//
// NP2 scale. `imDatPrb_type` stays 21 or 24 (the types every reader in use
// knows), with imAiRangeMax=0.5, imMaxInt=8192 and imChan0apGain=80, so a
// stored unit reads 0.5 V / 8192 / 80 = 0.763 µV whether a reader takes the
// gain from the key or assumes 80 for these types (a reader that finds no
// key takes its part-number table's 100 and reads 20 % low). The probes'
// 12-bit code is 1.24 V / 4096 / 100 = 3.027 µV, stored as NP2_FILE_SCALE =
// 4 units (3.052 µV, 0.8 % high): close to the figure with the ADC's codes
// kept whole. The ×4 is folded into the gain correction so that a sample is
// rounded once (see np2_file_gains).

#include <array>
#include <cstdint>
#include <span>
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

inline constexpr int NP2_FILE_SCALE = 4;       // stored units per 12-bit code
inline constexpr int NP2_META_AP_GAIN = 80;    // imChan0apGain
inline constexpr int NP2_META_MAX_INT = 8192;  // imMaxInt
inline constexpr double NP2_META_RANGE_V = 0.5;

// The gain corrections an NP2 stream converts with when it feeds a file:
// each factor × NP2_FILE_SCALE, so that (code − 2048) × correction × 4 is
// truncated to 16 bits once instead of after the correction.
PELIONP_RECORD_API std::array<float, CHANNEL_COUNT> np2_file_gains(std::span<const float, CHANNEL_COUNT> corrections) noexcept;

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
  // "pelionpSyncSource" says what the sync column carries;
  // "pelionpUserNotes" (only when there are notes) holds the user's notes
  // on one line: backslash, newline and carriage return as \\, \n, \r.
  std::vector<Gap> gaps{};
  uint64_t backward_timestamps = 0;
  std::string sync_source = "none";
  std::string user_notes{};
};

// The whole .meta text, one "key=value\n" line per key, tilde keys last.
// `~imroTbl` is written in the vocabulary of `imDatPrb_type` (0, 21, 24).
PELIONP_RECORD_API std::string format_meta(const ProbeIdentity& probe, const imro::ProbeConfiguration& configuration,
                        const StreamSummary& stream);
// The tilde lines of a stream's .meta ("~imroTbl=…\n" to "~snsShankMap=…\n"):
// they depend on the probe, its configuration and the band only, so a
// recording formats them once and each checkpoint reuses them.
PELIONP_RECORD_API std::string meta_tables(const ProbeIdentity& probe, const imro::ProbeConfiguration& configuration,
                                           Band band);
// The whole .meta text around tables made by meta_tables for this stream.
PELIONP_RECORD_API std::string format_meta(const ProbeIdentity& probe, const StreamSummary& stream,
                                           std::string_view tables);

// `~snsChanMap`, `~snsShankMap` and `~snsGeomMap` values. The geometry map
// opens with (part number,shanks,shank pitch µm,shank width µm), then per
// neural channel (shank:x:z:used), x from the shank's left edge and z from
// the tip row in µm.
PELIONP_RECORD_API std::string channel_map(ProbeKind kind, Band band);
PELIONP_RECORD_API std::string shank_map(const imro::ProbeConfiguration& configuration);
// `~muxTbl`: "(ADCs,per-ADC)" then, per sample slot, the channels of every
// ADC in ADC order, blank-separated (see imro/adc_order.h).
PELIONP_RECORD_API std::string mux_table(ProbeKind kind);
// A path as `fileName` holds it: forward slashes.
PELIONP_RECORD_API std::string meta_file_name(std::string_view path);
PELIONP_RECORD_API std::string geom_map(std::string_view part_number, const imro::ProbeConfiguration& configuration);

}  // namespace pelionp::record::spikeglx
