#include "record/probe_kind.h"

#include <array>

namespace pelionp::record {

namespace {
struct KindNames {
  ProbeKind kind;
  int imro_type;
  std::string_view display;
  std::string_view key;
};
constexpr std::array<KindNames, 3> KINDS{{
    {ProbeKind::np1, 0, "NP1", "np1"},
    {ProbeKind::np2_single_shank, 21, "NP2 single-shank", "np2-1shank"},
    {ProbeKind::np2_four_shank, 24, "NP2 four-shank", "np2-4shank"},
}};

constexpr const KindNames& names(ProbeKind kind) noexcept { return KINDS[static_cast<size_t>(kind)]; }
}  // namespace

int imro_type(ProbeKind kind) noexcept { return names(kind).imro_type; }
std::string_view display_name(ProbeKind kind) noexcept { return names(kind).display; }
std::string_view key(ProbeKind kind) noexcept { return names(kind).key; }

std::optional<ProbeKind> kind_from_imro_type(int type) noexcept {
  for (const auto& k : KINDS)
    if (k.imro_type == type) return k.kind;
  return std::nullopt;
}

std::optional<ProbeKind> kind_from_key(std::string_view text) noexcept {
  for (const auto& k : KINDS)
    if (k.key == text) return k.kind;
  return std::nullopt;
}

}  // namespace pelionp::record
