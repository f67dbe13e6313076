#include "tests/sdi12/fake_sensor.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/pty_pair.h"

namespace quendal::test {

int FakeSensor::Count(const std::string& command) const {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

FakeCommDevice::FakeCommDevice() {
  master_ = OpenPtyMaster(&slaveName_, nullptr, {.raw = false});
  if (master_ < 0) throw std::runtime_error("no pseudo-terminal");
  slaveKeeper_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
  termios raw{};
  tcgetattr(slaveKeeper_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slaveKeeper_, TCSANOW, &raw);
  thread_ = std::thread([this] { Run(); });
}

FakeCommDevice::~FakeCommDevice() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  thread_.join();
  close(slaveKeeper_);
  close(master_);
}

void FakeCommDevice::Run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
    char chunk[256];
    ssize_t n = read(master_, chunk, sizeof chunk);
    for (ssize_t i = 0; i < n; ++i) Take(chunk[i]);
  }
}

void FakeCommDevice::Take(char byte) {
  std::string reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::kLoader) {
      if (byte == '`') {
        mode_ = Mode::kShell;
        sensor_.switchBytes += byte;
      } else {
        sensor_.loaderBytes += byte;
      }
      return;
    }
    if (pending_.empty() && (byte == '[' || byte == ']' || byte == '`')) {
      mode_ = byte == '[' ? Mode::kRelay : byte == ']' ? Mode::kLoader : Mode::kShell;
      sensor_.switchBytes += byte;
      return;
    }
    if (mode_ != Mode::kRelay) return;
    if (byte == '|') {
      ++sensor_.wakeBytes;
      pending_.clear();
      return;
    }
    pending_ += byte;
    if (byte != '!') return;
    sensor_.commands.push_back(pending_);
    reply = Answer(pending_);
    pending_.clear();
  }
  Send(reply);
}

std::string FakeCommDevice::Answer(const std::string& command) {
  FakeSensor& s = sensor_;
  if (s.script) {
    if (std::optional<std::string> scripted = s.script(s, command)) return *scripted;
  }
  if (command[0] != '?' && command[0] != s.address) return "";
  const std::string body = command.substr(1, command.size() - 2);
  auto setting = [&](const char* prefix, std::string* field) {
    if (body.rfind(prefix, 0) != 0) return false;
    *field = body.substr(2);
    return true;
  };
  if (body.empty()) return s.Reply("");
  if (body == "I") return s.Reply("13" + s.vendor + s.model + s.version + "SX1");
  if (body == "X8") return s.Reply(std::string(1, s.type));
  if (body == "X#") return s.Reply(s.serialNumber.empty() ? "" : " " + s.serialNumber);
  if (body == "X4") return s.Reply(" " + s.x4);
  if (body == "Xa") return s.Reply(" " + s.xa);
  if (setting("X5", &s.x4) || setting("Xb", &s.xa) || setting("X#", &s.serialNumber)) {
    return s.Reply("OK");
  }
  if (body.size() == 4 && body.rfind("X9 ", 0) == 0) {
    s.type = body[3];
    return s.Reply("OK");
  }
  if (body.size() == 2 && body[0] == 'A') {
    s.address = body[1];
    return s.Reply("");
  }
  if (body == "B") return s.Reply(s.hasLoader ? "" : "No BSL");
  if (body == "post") return s.Reply(s.codeGood ? "Code Good" : "Code Corrupt");
  return "";
}

void FakeCommDevice::Send(const std::string& bytes) {
  if (bytes.empty()) return;
  std::string now = bytes;
  bool trailingLineFeed = lineFeedDelayMs_ > 0 && now.size() > 1 && now.back() == '\n';
  if (trailingLineFeed) now.pop_back();
  ssize_t ignored = write(master_, now.data(), now.size());
  if (trailingLineFeed) {
    std::this_thread::sleep_for(std::chrono::milliseconds(lineFeedDelayMs_));
    ignored = write(master_, "\n", 1);
  }
  (void)ignored;
}

}  // namespace quendal::test
