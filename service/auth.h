#pragma once
// Who may use the service. On a loopback address anyone on the machine may
// (as with any local program); on any other address every request must
// carry the service's token as `Authorization: Bearer <token>`. The token is
// given, or read from a file, or generated at first start into that file,
// readable by its owner only.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pelionp::service {

// "127.0.0.1", "::1", "localhost" and the rest of 127.0.0.0/8.
bool is_loopback_host(std::string_view host) noexcept;

struct AccessPolicy {
  // Empty: no token needed (loopback only).
  std::string token;

  bool needs_token() const noexcept { return !token.empty(); }
  // The value of the request's Authorization header, or nullopt.
  bool admits(std::optional<std::string_view> authorization) const noexcept;
};

// 32 random bytes as 64 hex digits.
std::string generate_token();
// The token in `file` (first line); when the file does not exist, a new
// token written there, readable by its owner only.
std::expected<std::string, std::string> load_or_create_token(const std::filesystem::path& file);

}  // namespace pelionp::service
