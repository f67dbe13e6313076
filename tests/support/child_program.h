#pragma once
// A program run from a test that the test watches line by line and can signal (POSIX).
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/hermetic.h"

namespace quendal::test {

class ChildProgram {
 public:
  // Runs `body` in a forked child whose standard output and error come to this object; the
  // child ends with what `body` returns.
  explicit ChildProgram(const std::function<int()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[1]);
      int null = open("/dev/null", O_RDONLY);
      if (null >= 0) dup2(null, 0);
      _exit(body());
    }
    close(fds[1]);
    out_ = fds[0];
  }
  // Runs a program with `args` (args[0] the path) in the tests' own environment
  // (ChildEnvironment), nothing else of this process's. Everything is made before the fork:
  // the child of a threaded process must not allocate.
  static std::function<int()> Exec(std::vector<std::string> args) {
    struct Prepared {
      std::vector<std::string> args, env;
      std::vector<char*> argv, envp;
    };
    auto p = std::make_shared<Prepared>();
    p->args = std::move(args);
    p->env = ChildEnvironment();
    for (std::string& a : p->args) p->argv.push_back(a.data());
    for (std::string& e : p->env) p->envp.push_back(e.data());
    p->argv.push_back(nullptr);
    p->envp.push_back(nullptr);
    return [p] {
      execve(p->argv[0], p->argv.data(), p->envp.data());
      return 127;
    };
  }
  ~ChildProgram() {
    if (pid_ > 0 && status_ == kRunning) {
      kill(pid_, SIGKILL);
      Wait(5000);
    }
    if (out_ >= 0) close(out_);
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // Reads until `text` has appeared in the output; false when `ms` passed or the output ended.
  bool WaitFor(const std::string& text, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (output.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !ReadSome(static_cast<int>(left))) return false;
    }
    return true;
  }
  void Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
  }
  // Reads the rest and waits for the end: the exit status, 128 + the signal that ended it,
  // or -1 when it did not end within `ms` (it is killed then).
  int Wait(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (status_ == kRunning) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status_ = -1;
        break;
      }
      if (!ReadSome(static_cast<int>(left < 100 ? left : 100))) {
        if (out_ < 0) usleep(20000);
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
          status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
      }
    }
    return status_;
  }

  std::string output;

 private:
  static constexpr int kRunning = -2;

  // False when nothing came within `ms` or the output ended.
  bool ReadSome(int ms) {
    if (out_ < 0) return false;
    pollfd pfd{out_, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return false;
    }
    output.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = kRunning;
};

}  // namespace quendal::test
#endif  // _WIN32
