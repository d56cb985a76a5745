#include "tools/platform/console.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <shellapi.h>
#else
#include <unistd.h>

#include <csignal>
#endif

namespace pelionp::tool::platform {
namespace {

std::atomic<bool> interrupt_seen{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

bool InterruptScope::interrupted() noexcept { return interrupt_seen.load(); }

#ifdef _WIN32

namespace {
// Whether a scope lives, for the close event's wait.
std::mutex scope_mutex;
std::condition_variable scope_ended;
bool scope_open = false;
}  // namespace

bool console_event(unsigned long event) noexcept {
  if (event == CTRL_CLOSE_EVENT) {
    std::unique_lock lock(scope_mutex);
    if (!scope_open) return false;
    interrupt_seen.store(true);
    // NB: the system ends the process when this returns: the command closes
    // its files first, while the handler's thread waits here.
    scope_ended.wait_for(lock, std::chrono::milliseconds(CLOSE_GRACE_MS), [] { return !scope_open; });
    return true;
  }
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return false;
  // NB: the handler runs on a thread the system starts; the flag is all it
  // touches. A second Ctrl-C is not handled, so the default handler exits.
  return !interrupt_seen.exchange(true);
}

namespace {
BOOL WINAPI on_console_event(DWORD event) { return console_event(event) ? TRUE : FALSE; }
}  // namespace

InterruptScope::InterruptScope() {
  interrupt_seen.store(false);
  {
    std::scoped_lock lock(scope_mutex);
    scope_open = true;
  }
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptScope::~InterruptScope() {
  {
    std::scoped_lock lock(scope_mutex);
    scope_open = false;
  }
  scope_ended.notify_all();
  ::SetConsoleCtrlHandler(on_console_event, FALSE);
}

bool stdout_is_terminal() noexcept {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool enable_terminal_escapes() noexcept {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode) == 0) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(utf8(std::filesystem::path(wide[i])));
  ::LocalFree(wide);
  return arguments;
}

std::filesystem::path path_from_utf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

#else

namespace {
struct sigaction previous_action {};
extern "C" void on_sigint(int) { interrupt_seen.store(true); }
}  // namespace

InterruptScope::InterruptScope() {
  interrupt_seen.store(false);
  struct sigaction action {};
  action.sa_handler = on_sigint;
  // The handler goes back to the default after the first Ctrl-C, so a
  // second one ends the program at once.
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous_action);
}

InterruptScope::~InterruptScope() { sigaction(SIGINT, &previous_action, nullptr); }

bool stdout_is_terminal() noexcept { return ::isatty(STDOUT_FILENO) != 0; }

bool enable_terminal_escapes() noexcept { return stdout_is_terminal(); }

std::vector<std::string> utf8_arguments(int argc, char** argv) { return {argv, argv + argc}; }

std::filesystem::path path_from_utf8(const std::string& text) { return std::filesystem::path(text); }

#endif

std::string utf8(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace pelionp::tool::platform
