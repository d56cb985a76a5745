// The tool's console on this platform: Ctrl-C during a recording, and
// paths given as UTF-8 text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"
#include "tools/platform/console.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace pelionp::tool::test {
namespace {

using platform::InterruptScope;
using pelionp::test::TempDir;

#ifdef _WIN32
TEST(Console, FirstCtrlCIsHandledAndTheSecondEndsTheProgram) {
  {
    InterruptScope scope;
    EXPECT_FALSE(InterruptScope::interrupted());
    EXPECT_FALSE(InterruptScope::interrupted());
    EXPECT_TRUE(platform::console_event(CTRL_C_EVENT));
    EXPECT_TRUE(InterruptScope::interrupted());
    // Not handled: the default handler ends the process at once.
    EXPECT_FALSE(platform::console_event(CTRL_C_EVENT));
  }
  InterruptScope again;
  EXPECT_FALSE(InterruptScope::interrupted());
  EXPECT_TRUE(platform::console_event(CTRL_BREAK_EVENT));
  EXPECT_TRUE(InterruptScope::interrupted());
}

// Closing the console window interrupts the command as Ctrl-C does; the
// handler (on the system's thread) returns, and the system ends the
// process, once the scope, and with it the command's files, has ended.
TEST(Console, ClosingTheWindowInterruptsAndHoldsTheProcessUntilTheScopeEnds) {
  EXPECT_FALSE(platform::console_event(CTRL_CLOSE_EVENT));  // no command listening: the system's default
  auto scope = std::make_unique<InterruptScope>();
  std::atomic<bool> handled{false};
  std::thread system_thread([&] { handled = platform::console_event(CTRL_CLOSE_EVENT); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!InterruptScope::interrupted() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(InterruptScope::interrupted());
  scope.reset();
  system_thread.join();
  EXPECT_TRUE(handled);
}
#else
TEST(Console, FirstCtrlCIsHandledAndTheSecondEndsTheProgram) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before {};
  sigaction(SIGINT, &ignore, &before);
  {
    InterruptScope scope;
    EXPECT_FALSE(InterruptScope::interrupted());
    std::raise(SIGINT);
    EXPECT_TRUE(InterruptScope::interrupted());
    // The handler is gone after the first: a second Ctrl-C ends the program.
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
  }
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN);  // the scope put back what was there
  sigaction(SIGINT, &before, nullptr);
  InterruptScope again;
  EXPECT_FALSE(InterruptScope::interrupted());
}
#endif

TEST(Console, Utf8TextNamesTheSameFileBothWays) {
  TempDir dir;
  const std::string name = "Aufnahme-\xC3\xBC-\xCE\xBCV-\xE6\x97\xA5\xE6\x9C\xAC";  // Aufnahme-ü-µV-日本
  const auto file = dir.path() / platform::path_from_utf8(name);
  std::ofstream(file, std::ios::binary) << "x";
  ASSERT_TRUE(std::filesystem::exists(file));
  int found = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(platform::utf8(entry.path().filename()), name);
    ++found;
  }
  EXPECT_EQ(found, 1);
  EXPECT_EQ(platform::utf8(file.filename()), name);
}

}  // namespace
}  // namespace pelionp::tool::test
