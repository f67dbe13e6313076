#include "tests/logger/fake_logger.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tests/support/pty_pair.h"

namespace quendal::test {

FakeLogger::FakeLogger() {
  const int fd = OpenPtyMaster(&slavePath_, nullptr, {.raw = true, .nonBlocking = true});
  if (fd < 0) return;
  fd_ = fd;
  thread_ = std::thread([this] { Run(); });
}

FakeLogger::~FakeLogger() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

void FakeLogger::Set(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_[key] = value;
}

std::string FakeLogger::Get(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = settings_.find(key);
  return it == settings_.end() ? std::string() : it->second;
}

void FakeLogger::Script(const std::string& line, std::vector<std::string> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[line] = std::move(answers);
}

std::vector<std::string> FakeLogger::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int FakeLogger::Count(const std::string& line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

bool FakeLogger::HeardPrefix(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& line : lines_)
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

// With the mutex held.
std::string FakeLogger::Answer(const std::string& line) {
  auto script = scripts_.find(line);
  if (script != scripts_.end() && !script->second.empty()) {
    std::string answer = script->second.front();
    if (script->second.size() > 1) script->second.erase(script->second.begin());
    return answer;
  }
  if (line.rfind("get -", 0) == 0) {
    auto it = settings_.find(line.substr(5));
    return Shell(it == settings_.end() ? "Unsupported" : it->second);
  }
  if (line.rfind("set ", 0) == 0) {
    std::string rest = line.substr(4);
    std::size_t blank = rest.find(' ');
    std::string key = rest.substr(0, blank);
    if (key.rfind('-', 0) == 0) key.erase(0, 1);
    settings_[key] = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
    return Shell("OK");
  }
  return line.empty() ? Shell("") : Shell("Unsupported");
}

void FakeLogger::Run() {
  std::string pending;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, 5) <= 0) continue;
    if (!(pfd.revents & POLLIN)) {
      usleep(5000);  // no slave open yet
      continue;
    }
    char chunk[512];
    ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n <= 0) continue;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = chunk[i];
      if (c == '\n') continue;
      if (c != '\r') {
        pending += c;
        continue;
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(pending);
        answer = Answer(pending);
      }
      pending.clear();
      std::size_t sent = 0;
      while (sent < answer.size()) {
        ssize_t w = write(fd_, answer.data() + sent, answer.size() - sent);
        if (w > 0) {
          sent += static_cast<std::size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
          break;  // the host has gone
        } else {
          usleep(1000);
        }
      }
    }
  }
}

}  // namespace quendal::test
