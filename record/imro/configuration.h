#pragma once
// A probe configuration as plain values: per channel the electrode bank(s)
// and shank, the reference, the gains and the AP high-pass. The command
// layer maps it onto the probe setters and keeps it to write `~imroTbl`;
// IMRO tables parse into it and format from it.
//
// Mapping onto the library's setters (the contract the command layer keeps):
//   NP1, channel c:   for the lowest bank b of `bank_mask`: selectElectrode(c, b, true)
//                     (channel 191 is the internal reference line and selects
//                     nothing; its bank only travels in the table);
//                     setReference(c, EXT_REF | TIP_REF | INT_REF, internal_reference_bank);
//                     setGain(c, ap_gain_code, lf_gain_code);
//                     probe_setAPCornerFrequency(c, !ap_highpass);  the probe's
//                     flag switches the 300 Hz high-pass off;
//                     probe_setStdb(c, standby).
//   NP2 single shank: every bank b of `bank_mask`, lowest first:
//                     selectElectrode(c, b, exclusive = (b is the lowest));
//                     setReference(c, EXT_REF | TIP_REF | LOCAL_REF); setStdb(c, standby).
//   NP2 four shanks:  selectElectrode(c, shank, lowest bank, true);
//                     setReference(c, reference_shank, EXT_REF | TIP_REF | LOCAL_REF);
//                     setStdb(c, standby).

#include <array>
#include <cstdint>
#include <optional>

#include "record/probe_kind.h"

#include "record/export.h"

namespace pelionp::record::imro {

// NP1 gain for each 3-bit gain code (AP and LF alike).
inline constexpr std::array<int, 8> NP1_GAINS{50, 125, 250, 500, 1000, 1500, 2000, 3000};
// NP2 probes have one fixed gain.
inline constexpr int NP2_GAIN = 80;

PELIONP_RECORD_API std::optional<uint8_t> np1_gain_code(int gain) noexcept;

enum class Reference : uint8_t {
  external,  // the external reference pad
  tip,       // the tip electrode (of `reference_shank` on four-shank probes)
  internal,  // NP1: the internal reference electrode of `internal_reference_bank`
  on_shank,  // NP2: the on-shank (local) reference
};

struct PELIONP_RECORD_API ChannelSetting {
  uint8_t shank = 0;      // four-shank probes: the shank this channel reads
  uint8_t bank_mask = 1;  // bit b set: bank b connected
  Reference reference = Reference::external;
  uint8_t reference_shank = 0;  // NP2: the shank whose switch serves the reference
  // NP2 on-shank reference: the bank the table named. NB: kept so that
  // ~imroTbl says what the table asked; the probe's on-shank selection has
  // no bank of its own.
  uint8_t reference_bank = 0;
  uint8_t ap_gain_code = 4;     // NP1 only, index into NP1_GAINS
  uint8_t lf_gain_code = 0;     // NP1 only
  bool ap_highpass = true;      // NP1 only: 300 Hz AP high-pass on
  bool standby = false;

  friend bool operator==(const ChannelSetting&, const ChannelSetting&) = default;
};

struct PELIONP_RECORD_API ProbeConfiguration {
  ProbeKind kind = ProbeKind::np1;
  uint8_t internal_reference_bank = 0;  // NP1: one per probe
  std::array<ChannelSetting, CHANNEL_COUNT> channels{};

  friend bool operator==(const ProbeConfiguration&, const ProbeConfiguration&) = default;
};

// The configuration a recording uses when no IMRO table is given. NP1: the
// library's own defaults (bank 0, external reference, AP gain code 4, LF
// gain code 0, i.e. gains 1000 and 50, high-pass on). NP2: bank 0 on shank 0 with the external
// reference; a fresh NP2 probe object connects no electrode at all, which
// would record nothing.
PELIONP_RECORD_API ProbeConfiguration default_configuration(ProbeKind kind) noexcept;

// Lowest connected bank, or std::nullopt for a disconnected channel.
PELIONP_RECORD_API std::optional<int> lowest_bank(const ChannelSetting& setting) noexcept;

// The electrode the channel reads (in its lowest bank; per shank for NP2).
PELIONP_RECORD_API std::optional<int> electrode_of(ProbeKind kind, int channel, const ChannelSetting& setting) noexcept;

}  // namespace pelionp::record::imro
