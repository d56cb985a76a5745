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
/// default handler end the process. Closing the console window
/// (CTRL_CLOSE_EVENT) interrupts as Ctrl-C does, and the handler returns
/// (the system then ends the process) once the scope has ended, so the
/// command's files are closed, or after CLOSE_GRACE (the system allows
/// 5 s); without a scope it is not handled.
bool console_event(unsigned long event) noexcept;
inline constexpr unsigned long CLOSE_GRACE_MS = 4500;
#endif

/// Whether standard output is a terminal (the live status line needs one).
[[nodiscard]] bool stdout_is_terminal() noexcept;
/// Makes the terminal on standard output interpret escape sequences
/// ("\x1b[K"); false where it cannot (a classic Windows console before
/// virtual-terminal processing): the caller then does without them.
[[nodiscard]] bool enable_terminal_escapes() noexcept;

/// The program's arguments in UTF-8 (on Windows from the wide command line,
/// so paths outside the ANSI code page survive).
[[nodiscard]] std::vector<std::string> utf8_arguments(int argc, char** argv);

/// A path from UTF-8 text (on Windows the narrow path constructor would read
/// the text in the ANSI code page).
[[nodiscard]] std::filesystem::path path_from_utf8(const std::string& text);
/// A path as UTF-8 text, for messages and files.
[[nodiscard]] std::string utf8(const std::filesystem::path& path);

}  // namespace pelionp::tool::platform
