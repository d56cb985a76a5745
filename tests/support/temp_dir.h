#pragma once
// A fresh directory per test, removed with everything in it at the end.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#define PELIONP_TEST_GETPID _getpid
#else
#include <unistd.h>
#define PELIONP_TEST_GETPID ::getpid
#endif

#include <filesystem>
#include <string>

namespace pelionp::test {

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("pelionp_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" + std::to_string(PELIONP_TEST_GETPID()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace pelionp::test
