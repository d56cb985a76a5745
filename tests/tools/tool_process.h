#pragma once
// Runs the built `pelionp` program as a child process, the way a user
// does, with its stdout and stderr captured in files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace pelionp::tool::test {

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
  void signal(int sig) const { ::kill(pid_, sig); }

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

}  // namespace pelionp::tool::test
