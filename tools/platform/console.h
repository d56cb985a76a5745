#pragma once
// The console as the tool meets it on Linux and on Windows: Ctrl-C during a
// recording, whether stdout is a terminal, and the command line as UTF-8.
//
// Threading: one InterruptScope at a time, owned by the thread that runs
// the command; `interrupted()` may be read from any thread.
#include <filesystem>
#include <string>
#include <vector>

namespace pelionp::tool::platform {

/// While it lives, the first Ctrl-C (SIGINT; on Windows CTRL_C_EVENT or
/// CTRL_BREAK_EVENT) only sets `interrupted()`, so the command can drain its
/// queues and close its files; a second one ends the program at once.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  [[nodiscard]] static bool interrupted() noexcept;
};

#ifdef _WIN32
/// The console control handler the scope installs: true (handled) for the
/// first Ctrl-C or Ctrl-Break, false for the next, which lets the system's
/// default handler end the process.
bool console_event(unsigned long event) noexcept;
#endif

/// Whether standard output is a terminal (the live status line needs one).
[[nodiscard]] bool stdout_is_terminal() noexcept;

/// The program's arguments in UTF-8 (on Windows from the wide command line,
/// so paths outside the ANSI code page survive).
[[nodiscard]] std::vector<std::string> utf8_arguments(int argc, char** argv);

/// A path from UTF-8 text (on Windows the narrow path constructor would read
/// the text in the ANSI code page).
[[nodiscard]] std::filesystem::path path_from_utf8(const std::string& text);
/// A path as UTF-8 text, for messages and files.
[[nodiscard]] std::string utf8(const std::filesystem::path& path);

}  // namespace pelionp::tool::platform
