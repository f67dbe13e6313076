#pragma once
// Small option parser shared by the CLI's commands: "--name value" and "--flag".
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quendal::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// The new firmware runs but not every setting is back; the settings file is kept.
inline constexpr int kExitSettingsNotRestored = 3;
// Stopped before anything on the device was changed: it still runs its old firmware.
inline constexpr int kExitRefused = 4;
// Stopped after the device left its firmware; running the same update again finishes it.
inline constexpr int kExitRecoverable = 5;
// The port could not be opened: no such port, another program holds it, or the user may
// not open it. Scripts tell these apart to print their own fix.
inline constexpr int kExitPortMissing = 6;
inline constexpr int kExitPortBusy = 7;
inline constexpr int kExitPortDenied = 8;
// An update stopped by Ctrl-C or a termination request (the shells' 128 + SIGINT).
inline constexpr int kExitInterrupted = 130;

struct ParsedOptions {
  std::map<std::string, std::string> values;  // a repeatable option: its last value
  std::map<std::string, std::vector<std::string>> lists;  // every value of a repeatable option
  std::set<std::string> flags;
  std::string error;  // empty when the arguments were understood

  bool Has(const std::string& name) const { return values.count(name) || flags.count(name); }
  const std::string* Value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

// `valued` lists the options that take a value, `flags` those that stand alone;
// `repeatable` the valued ones that may be given more than once.
ParsedOptions ParseOptions(const std::vector<std::string_view>& args,
                           const std::set<std::string>& valued, const std::set<std::string>& flags,
                           const std::set<std::string>& repeatable = {});

}  // namespace quendal::cli
