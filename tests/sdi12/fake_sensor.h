#pragma once
// A comm device with one digital sensor behind it, on the master side of a
// pseudo-terminal: the code under test opens the slave with the real serial driver.
// "[" relays SDI-12 commands ("|" wakes the bus, a command runs to "!"), "]" hands the
// line to the sensor's loader, "`" returns to the shell.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quendal::test {

struct FakeSensor {
  char address = '0';
  char type = 's';
  std::string vendor = "ORVELLE ";  // 8 characters
  std::string model = "Lurra ";     // 6 characters
  std::string version = "396";
  std::string serialNumber;
  std::string x4;
  std::string xa;
  bool hasLoader = true;
  bool codeGood = true;

  // Consulted first for every command: nullopt answers as the sensor would, "" stays
  // silent, anything else is sent as it stands.
  std::function<std::optional<std::string>(FakeSensor&, const std::string&)> script;

  std::vector<std::string> commands;  // every command received, "!" included
  std::string loaderBytes;            // what reached the sensor's loader
  std::string switchBytes;            // the comm device's mode switches, in order
  int wakeBytes = 0;

  // What a firmware update leaves: address "0", no calibrations, no serial number.
  void FactoryReset() {
    address = '0';
    x4.clear();
    xa.clear();
    serialNumber.clear();
  }
  int Count(const std::string& command) const;
  // Address, body and the line end.
  std::string Reply(const std::string& body) const {
    return std::string(1, address) + body + "\r\n";
  }
};

class FakeCommDevice {
 public:
  FakeCommDevice();
  ~FakeCommDevice();
  FakeCommDevice(const FakeCommDevice&) = delete;
  FakeCommDevice& operator=(const FakeCommDevice&) = delete;

  const std::string& SlaveName() const { return slaveName_; }

  // Runs `f` on the sensor while the device is not using it.
  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(sensor_);
  }

  // The line end goes out this much later than the reply, as on a slow wire.
  void SetLineFeedDelay(int ms) { lineFeedDelayMs_ = ms; }

 private:
  enum class Mode { kShell, kRelay, kLoader };
  void Run();
  void Take(char byte);
  std::string Answer(const std::string& command);
  void Send(const std::string& bytes);

  int master_ = -1;
  int slaveKeeper_ = -1;  // keeps the line up while the driver closes and reopens it
  std::string slaveName_;
  std::thread thread_;
  bool stop_ = false;
  std::mutex mutex_;
  FakeSensor sensor_;
  Mode mode_ = Mode::kShell;
  std::string pending_;
  std::atomic<int> lineFeedDelayMs_{0};
};

}  // namespace quendal::test
