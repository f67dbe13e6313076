#pragma once
// The settings commands of the instruments that are not data loggers: each type's "get" and
// "set" commands, its "user" and "eqn" records, the CVFOUR's "set -sensor", the service
// login, battery, clock and data erase. A shell extension for SimDevice; tests read and
// change the state from their own thread.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/shell.h"

namespace quendal::sim {

struct InstrumentModelOptions {
  int type = 0;                    // device-type index
  std::uint32_t version = 200;     // firmware version number (2.05: 205)
  std::string battery = "87";      // the body answered to "get -batt"
  bool recordCountCommand = true;  // old firmware answers "get -user" / "get -eqn" with an error
  bool dataFlashFails = false;     // "yes" answers "DataFlash FAIL"
  // The answer to "get -hver"; empty: the firmware has no such command.
  std::string hardwareRevision = "";
  // A Corvel V's answer to "ping -stat": "-1" when no test runs; empty: no such command.
  std::string testStatus = "-1";
  int loginsAccepted = -1;      // service logins that succeed before the rest fail; -1: all
  bool refuseSettings = false;  // every setting and record write answers "ERROR"
};

class InstrumentSettingsModel {
 public:
  explicit InstrumentSettingsModel(InstrumentModelOptions options);

  // Whether the type has settings commands here.
  static bool HasSettings(int type);

  // The shell extension; commands this model does not know go on to `next` when given.
  InstrumentShell::Extension Extension(InstrumentShell::Extension next = {});

  // The setting keys the instrument has, as its commands name them ("-sn", "-cal 3"), and
  // whether a key takes a number.
  std::vector<std::string> Keys() const;
  bool IsNumberKey(const std::string& key) const;
  bool HasRecords(const std::string& word) const;  // "user", "eqn"
  bool NeedsLogin() const;

  // Empty for a setting that holds nothing.
  std::string Get(const std::string& key) const;
  void Set(const std::string& key, const std::string& value);
  std::vector<std::string> Records(const std::string& word) const;
  void SetRecords(const std::string& word, std::vector<std::string> records);

  // What the instrument holds after its information memory was erased.
  void FactoryReset();
  // Settings and records that an instrument in service might hold.
  void FillInService();

  std::vector<std::string> Commands() const;  // every command line this model heard
  void ClearCommands();
  bool LoggedIn() const;
  std::optional<std::int64_t> ClockSeconds() const;  // from "set -sec"
  std::string ClockText() const;                     // "set -d" and "set -t", joined by a blank
  int Erasures() const;                              // "yes" commands carried out
  std::string SensorType() const;                    // from "set -sensor"
  void SetBattery(std::string body);
  void SetDataFlashFails(bool fails);
  void SetRefuseSettings(bool refuse);
  // The firmware started again: the service login is gone.
  void Restarted();

 private:
  std::optional<std::string> Run(std::string_view command);
  std::optional<std::string> RunSet(const std::string& key, const std::string& value);
  std::optional<std::string> RunGet(const std::string& key, const std::string& rest);
  bool Knows(const std::string& key) const;

  InstrumentModelOptions options_;
  std::vector<std::string> keys_;
  std::vector<std::string> numberKeys_;
  std::vector<std::string> recordWords_;
  bool needsLogin_ = false;
  bool hasSensorType_ = false;

  mutable std::mutex mu_;
  std::map<std::string, std::string> values_;
  std::map<std::string, std::vector<std::string>> records_;
  std::vector<std::string> commands_;
  bool loggedIn_ = false;
  std::optional<std::int64_t> clockSeconds_;
  std::string clockDate_;
  std::string clockTime_;
  int erasures_ = 0;
  std::string sensorType_;
};

}  // namespace quendal::sim
