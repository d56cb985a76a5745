#pragma once
// Error context for std::expected results as they travel up (this standard
// library has no monadic operations on std::expected yet).

#include <fmt/format.h>

#include <expected>
#include <string>
#include <string_view>

namespace pelionp::record {

// "context: message" on failure; the value passes through untouched.
template <class T>
std::expected<T, std::string> with_context(std::expected<T, std::string> result, std::string_view context) {
  if (!result) return std::unexpected(fmt::format("{}: {}", context, result.error()));
  return result;
}

}  // namespace pelionp::record
