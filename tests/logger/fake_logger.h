#pragma once
// A data logger's command shell on the master side of a pseudo-terminal, answering
// "get -key" and "set -key value" from a map of settings, for the settings-level tests.
// The code under test opens the slave with the real serial driver.
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quendal::test {

class FakeLogger {
 public:
  FakeLogger();
  ~FakeLogger();
  FakeLogger(const FakeLogger&) = delete;
  FakeLogger& operator=(const FakeLogger&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }

  // "get -key" answers CR value CR ">"; "set -key text" stores the text and answers OK.
  void Set(const std::string& key, const std::string& value);
  std::string Get(const std::string& key) const;

  // Raw answers to one exact command line (without its CR), used in turn; the last one
  // repeats. An empty answer stays silent.
  void Script(const std::string& line, std::vector<std::string> answers);

  std::vector<std::string> Lines() const;  // every command line received, in order
  int Count(const std::string& line) const;
  bool HeardPrefix(const std::string& prefix) const;

  // The shell's answer layout.
  static std::string Shell(const std::string& body) { return "\r" + body + "\r>"; }

 private:
  void Run();
  std::string Answer(const std::string& line);

  int fd_ = -1;
  std::string slavePath_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> settings_;
  std::map<std::string, std::vector<std::string>> scripts_;
  std::vector<std::string> lines_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace quendal::test
