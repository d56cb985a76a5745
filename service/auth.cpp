#include "service/auth.h"

#include <fmt/format.h>

#include <array>
#include <fstream>
#include <random>
#include <system_error>

namespace pelionp::service {

bool is_loopback_host(std::string_view host) noexcept {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  return host.starts_with("127.") && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

bool AccessPolicy::admits(std::optional<std::string_view> authorization) const noexcept {
  if (!needs_token()) return true;
  if (!authorization) return false;
  constexpr std::string_view scheme = "Bearer ";
  if (!authorization->starts_with(scheme)) return false;
  const std::string_view given = authorization->substr(scheme.size());
  // NB: compared in constant time, so the reply's timing says nothing of
  // how much of a guess was right.
  unsigned char differ = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i)
    differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
  return differ == 0;
}

std::string generate_token() {
  std::random_device device;
  std::string out;
  for (int i = 0; i < 8; ++i) out += fmt::format("{:08x}", device());
  return out;
}

std::expected<std::string, std::string> load_or_create_token(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    std::ifstream in(file);
    std::string token;
    if (!in || !std::getline(in, token)) return std::unexpected(fmt::format("Failed to read the token file {}", file.string()));
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.size() < 16) return std::unexpected(fmt::format("The token in {} is shorter than 16 characters", file.string()));
    return token;
  }
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  const std::string token = generate_token();
  {
    // NB: created empty and restricted before the token is written into it.
    std::ofstream create(file, std::ios::trunc);
    if (!create) return std::unexpected(fmt::format("Failed to create the token file {}", file.string()));
  }
  std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, ec);
  if (ec) return std::unexpected(fmt::format("Failed to restrict the token file {}: {}", file.string(), ec.message()));
  std::ofstream out(file, std::ios::trunc);
  out << token << '\n';
  if (!out) return std::unexpected(fmt::format("Failed to write the token file {}", file.string()));
  return token;
}

}  // namespace pelionp::service
