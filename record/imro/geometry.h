#pragma once
// Which electrode a readout channel reaches in a given bank (and shank), and
// where an electrode sits on its shank. Plain functions of the probe
// geometry; std::nullopt when the combination names no electrode (bank 2 of
// an NP1 channel >= 192, bank 3 of most NP2 channels, a channel or bank out
// of range).
//
// Positions are in µm: x from the shank's left edge, z from the tip row.
//   NP1: 480 rows 20 µm apart, two sites per row 32 µm apart; even rows at
//        x = 27 and 59, odd rows at x = 11 and 43 (electrode e: row e/2,
//        column e%2).
//   NP2: 640 rows per shank 15 µm apart at x = 27 and 59; the four shanks
//        of a four-shank probe are 250 µm apart (left edge to left edge).
// Every shank is 70 µm wide; every site is a 12 µm square.

#include <optional>

#include "record/probe_kind.h"

#include "record/export.h"

namespace pelionp::record::imro {

inline constexpr int NP1_ELECTRODE_COUNT = 960;
inline constexpr int NP1_BANK_COUNT = 3;
inline constexpr int NP1_REFERENCE_CHANNEL = 191;  // carries the internal reference line
inline constexpr int NP2_SHANK_ELECTRODE_COUNT = 1280;
inline constexpr int NP2_BANK_COUNT = 4;

inline constexpr int SHANK_WIDTH_UM = 70;
inline constexpr int SHANK_PITCH_UM = 250;  // four-shank probes
inline constexpr int SITE_SIZE_UM = 12;
inline constexpr int NP1_ROW_PITCH_UM = 20;
inline constexpr int NP2_ROW_PITCH_UM = 15;
// The length of the shank's outline above the tip row (the tip itself lies
// below z = 0).
inline constexpr int SHANK_LENGTH_UM = 10000;
inline constexpr int TIP_LENGTH_UM = 175;

struct PELIONP_RECORD_API SitePosition {
  int x_um = 0;  // from the shank's left edge
  int z_um = 0;  // from the tip row

  friend bool operator==(const SitePosition&, const SitePosition&) = default;
};

// Where electrode `electrode` of a shank sits; std::nullopt past the
// shank's last electrode.
PELIONP_RECORD_API std::optional<SitePosition> site_position(ProbeKind kind, int electrode) noexcept;

// The distance between neighbouring shanks' left edges (0 on one-shank probes).
constexpr int shank_pitch_um(ProbeKind kind) noexcept { return shank_count(kind) > 1 ? SHANK_PITCH_UM : 0; }

// electrode = bank x 384 + channel, banks 0..2.
PELIONP_RECORD_API std::optional<int> np1_electrode(int channel, int bank) noexcept;
// Single-shank NP2: each block of 32 channels reaches a permutation of its
// 32 electrodes per bank.
PELIONP_RECORD_API std::optional<int> np2_single_shank_electrode(int channel, int bank) noexcept;
// Four-shank NP2: each group of 48 channels reaches one block of 48
// electrodes per bank, the block depending on shank and group.
PELIONP_RECORD_API std::optional<int> np2_four_shank_electrode(int channel, int shank, int bank) noexcept;

}  // namespace pelionp::record::imro
