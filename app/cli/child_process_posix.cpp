#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "app/cli/child_process.h"

extern char** environ;

namespace quendal::cli {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

namespace {

volatile sig_atomic_t stationInterrupts = 0;
struct sigaction previousInt;
struct sigaction previousTerm;

void OnStationInterrupt(int) {
  stationInterrupts = stationInterrupts + 1;
}

// Reads what is there; closes the descriptor at its end.
void Drain(int* fd, std::string* into) {
  if (*fd < 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    close(*fd);
    *fd = -1;
    return;
  }
}

}  // namespace

std::string OwnProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (impl_->out >= 0) close(impl_->out);
  if (impl_->err >= 0) close(impl_->err);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
  int out[2];
  int err[2];
  if (pipe(out) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (pipe(err) != 0) {
    *error = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The parent ignores broken pipes and counts its interrupts; a child starts afresh.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    *error = std::strerror(rc);
    return false;
  }
  for (int fd : {out[0], err[0]}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  impl_->pid = pid;
  impl_->out = out[0];
  impl_->err = err[0];
  return true;
}

void ChildProcess::Interrupt() {
  if (impl_->pid > 0 && !ended_) kill(impl_->pid, SIGINT);
}

void ChildProcess::Collect() {
  if (ended_) return;
  if (impl_->pid <= 0) {  // never started
    ended_ = true;
    exitStatus_ = 1;
    return;
  }
  Drain(&impl_->out, &out_);
  Drain(&impl_->err, &err_);
  if (impl_->out >= 0 || impl_->err >= 0) return;
  int raw = 0;
  pid_t done;
  do {
    done = waitpid(impl_->pid, &raw, 0);
  } while (done < 0 && errno == EINTR);
  ended_ = true;
  if (done != impl_->pid) {
    exitStatus_ = 1;
  } else {
    exitStatus_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
}

void WaitForChildren(const std::vector<ChildProcess*>& children, int ms) {
  std::vector<pollfd> fds;
  for (ChildProcess* child : children) {
    const ChildProcess::Impl* impl = child->impl_.get();
    if (impl->out >= 0) fds.push_back({impl->out, POLLIN, 0});
    if (impl->err >= 0) fds.push_back({impl->err, POLLIN, 0});
  }
  if (fds.empty()) {
    usleep(static_cast<useconds_t>(ms) * 1000);
    return;
  }
  poll(fds.data(), fds.size(), ms);  // EINTR: the caller looks at its interrupts
}

void CatchStationInterrupts() {
  stationInterrupts = 0;
  struct sigaction action {};
  action.sa_handler = OnStationInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: the wait returns at once
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
}

void ReleaseStationInterrupts() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
}

int StationInterrupts() {
  return stationInterrupts;
}

bool OutputIsTerminal() {
  return isatty(1) != 0;
}

}  // namespace quendal::cli
