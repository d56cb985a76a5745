#pragma once
// The three probe kinds the tool records, with the names and numbers the
// files and the command line use for them. Plain values, no library types:
// the command layer maps the library's probe variants onto these.

#include <cstdint>
#include <optional>
#include <string_view>

#include "record/export.h"

namespace pelionp::record {

enum class ProbeKind : uint8_t {
  np1,               // NP 1.0: AP and LF bands, gain codes, 960 electrodes
  np2_single_shank,  // NP 2.0, one shank of 1280 electrodes
  np2_four_shank,    // NP 2.0, four shanks of 1280 electrodes
};

// The IMRO table type and `imDatPrb_type` of a probe kind: 0, 21, 24.
PELIONP_RECORD_API int imro_type(ProbeKind kind) noexcept;
PELIONP_RECORD_API std::optional<ProbeKind> kind_from_imro_type(int type) noexcept;

// "NP1", "NP2 single-shank", "NP2 four-shank": for people.
PELIONP_RECORD_API std::string_view display_name(ProbeKind kind) noexcept;

// "np1", "np2-1shank", "np2-4shank": for files and options.
PELIONP_RECORD_API std::string_view key(ProbeKind kind) noexcept;
PELIONP_RECORD_API std::optional<ProbeKind> kind_from_key(std::string_view key) noexcept;

constexpr bool is_np2(ProbeKind kind) noexcept { return kind != ProbeKind::np1; }
constexpr int shank_count(ProbeKind kind) noexcept { return kind == ProbeKind::np2_four_shank ? 4 : 1; }

// Readout channels of every kind.
inline constexpr int CHANNEL_COUNT = 384;

}  // namespace pelionp::record
