// Who gets in: loopback names, the bearer token, the token file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/auth.h"

namespace pelionp::service {
namespace {

TEST(Auth, LoopbackHosts) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "[::1]", "localhost"}) EXPECT_TRUE(is_loopback_host(host)) << host;
  for (const char* host : {"0.0.0.0", "192.168.1.5", "127.0.0.1.evil", "::", "example.org", ""})
    EXPECT_FALSE(is_loopback_host(host)) << host;
}

TEST(Auth, OnlyTheExactBearerTokenIsAdmitted) {
  const AccessPolicy open{};
  EXPECT_TRUE(open.admits(std::nullopt));
  const AccessPolicy policy{"0123456789abcdef"};
  EXPECT_TRUE(policy.admits("Bearer 0123456789abcdef"));
  for (const char* wrong : {"Bearer 0123456789abcde", "Bearer 0123456789abcdef0", "bearer 0123456789abcdef",
                            "Basic 0123456789abcdef", "0123456789abcdef", "Bearer ", ""})
    EXPECT_FALSE(policy.admits(std::string_view(wrong))) << wrong;
  EXPECT_FALSE(policy.admits(std::nullopt));
}

TEST(Auth, TheTokenFileIsCreatedOnceReadableByItsOwnerOnly) {
  const auto dir = std::filesystem::path(testing::TempDir()) / "pelionp-auth-test";
  std::filesystem::remove_all(dir);
  const auto file = dir / "sub" / "token";
  const auto first = load_or_create_token(file);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(first->size(), 64u);
#ifndef _WIN32
  const auto perms = std::filesystem::status(file).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
  const auto again = load_or_create_token(file);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *first);
  EXPECT_NE(generate_token(), generate_token());
  std::ofstream(file, std::ios::trunc) << "short\n";
  const auto refused = load_or_create_token(file);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("shorter than 16"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelionp::service
