#include "record/run_name.h"

#include <fmt/format.h>

#include <algorithm>

namespace pelionp::record {

namespace {
constexpr bool allowed(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}
}  // namespace

std::expected<void, std::string> check_run_name(std::string_view name) {
  if (name.empty()) return std::unexpected(std::string("The run name is empty"));
  const auto bad = std::ranges::find_if_not(name, allowed);
  if (bad == name.end()) return {};
  const auto shown = static_cast<unsigned char>(*bad) < 0x20 || static_cast<unsigned char>(*bad) >= 0x7F
                         ? fmt::format("byte 0x{:02X}", static_cast<unsigned char>(*bad))
                         : fmt::format("'{}'", *bad);
  return std::unexpected(
      fmt::format("Run name '{}' may hold only letters, digits, '-' and '_': {} is not one", name, shown));
}

}  // namespace pelionp::record
