#pragma once
// Runs the built `pelionp` program as a child process, the way a user
// does, with its stdout and stderr captured in files.

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pelionp::tool::test {

// The pelionp program the process tests start; trees that do not build it
// skip them.
#ifdef PELIONP_TOOL_BINARY
inline const std::filesystem::path TOOL = PELIONP_TOOL_BINARY;
#define REQUIRE_TOOL()
#else
inline const std::filesystem::path TOOL;
#define REQUIRE_TOOL() GTEST_SKIP() << "this tree does not build the pelionp program"
#endif

#ifdef _WIN32

class ToolProcess {
 public:
  // Starts `pelionp args...`; output goes to `dir`/stdout.txt and stderr.txt.
  // The child leads a process group of its own, so a Ctrl-Break reaches it
  // alone.
  ToolProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
              const std::filesystem::path& dir)
      : stdout_(dir / "stdout.txt"), stderr_(dir / "stderr.txt") {
    std::wstring command_line = quote(program.wstring());
    for (const auto& a : args) command_line += L" " + quote(std::filesystem::path(std::u8string(a.begin(), a.end())).wstring());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = ::CreateFileW(stdout_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = ::CreateFileW(stderr_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
        ::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                         nullptr, &startup, &process_)) {
      ::CloseHandle(process_.hThread);
    } else {
      process_.hProcess = nullptr;
    }
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) ::CloseHandle(err);
  }
  ~ToolProcess() {
    if (process_.hProcess == nullptr) return;
    if (!status_) {
      ::TerminateProcess(process_.hProcess, 255);
      ::WaitForSingleObject(process_.hProcess, INFINITE);
    }
    ::CloseHandle(process_.hProcess);
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool started() const { return process_.hProcess != nullptr; }
  // Any signal is delivered as the console's Ctrl-Break to the child's group.
  bool signal(int) const { return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_.dwProcessId) != 0; }

  // The exit status, or nothing if the program did not end in time (it is
  // then killed).
  std::optional<int> wait(std::chrono::seconds deadline = std::chrono::seconds(60)) {
    if (status_) return static_cast<int>(*status_);
    const auto ms = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline).count());
    if (::WaitForSingleObject(process_.hProcess, ms) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.hProcess, 255);
      ::WaitForSingleObject(process_.hProcess, INFINITE);
      status_ = 255;
      return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_.hProcess, &code);
    status_ = code;
    return static_cast<int>(code);
  }

  std::string out() const { return read(stdout_); }
  std::string err() const { return read(stderr_); }

 private:
  // One argument as the C runtime splits command lines.
  static std::wstring quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
      backslashes = 0;
      quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
  }
  // Read as text, as a user's program reads the tool's text output: the
  // tool writes Windows line ends ("\r\n") on its text-mode stdout.
  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path stdout_;
  std::filesystem::path stderr_;
  PROCESS_INFORMATION process_{};
  std::optional<DWORD> status_;
};

#else

class ToolProcess {
 public:
  // Starts `pelionp args...`; output goes to `dir`/stdout.txt and stderr.txt.
  ToolProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
              const std::filesystem::path& dir)
      : stdout_(dir / "stdout.txt"), stderr_(dir / "stderr.txt") {
    // Everything the child needs is prepared before the fork: between fork
    // and exec only async-signal-safe calls are allowed.
    std::vector<std::string> argv_storage{program.string()};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = ::open(stdout_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(stderr_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
  }
  ~ToolProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool signal(int sig) const { return ::kill(pid_, sig) == 0; }
  // Stops the child (SIGSTOP) and waits until every one of its threads is
  // stopped: each then sits between system calls, never inside one (the
  // main thread stops first, while a writer thread may still be in write).
  // False on the deadline.
  bool stop(std::chrono::seconds deadline = std::chrono::seconds(10)) const {
    if (::kill(pid_, SIGSTOP) != 0) return false;
    const auto until = std::chrono::steady_clock::now() + deadline;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid_) + "/task";
    auto stopped = [](const std::filesystem::path& stat) {
      std::ifstream in(stat);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      // "pid (comm) S ...": the state follows the command's closing parenthesis.
      const auto close = text.rfind(')');
      return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T';
    };
    while (std::chrono::steady_clock::now() < until) {
      std::error_code ec;
      bool all = true;
      for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) all = all && stopped(task.path() / "stat");
      if (!ec && all) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // The exit status, or nothing if the program did not end in time (it is
  // then killed) or ended by a signal.
  std::optional<int> wait(std::chrono::seconds deadline = std::chrono::seconds(60)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!status_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        status_ = status;
        break;
      }
      if (std::chrono::steady_clock::now() > until) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status_ = status;
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }

  std::string out() const { return read(stdout_); }
  std::string err() const { return read(stderr_); }

 private:
  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path stdout_;
  std::filesystem::path stderr_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

#endif

}  // namespace pelionp::tool::test
