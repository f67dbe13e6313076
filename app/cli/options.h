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
// An update stopped by Ctrl-C or a termination request (the shells' 128 + SIGINT).
inline constexpr int kExitInterrupted = 130;

struct ParsedOptions {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::string error;  // empty when the arguments were understood

  bool Has(const std::string& name) const { return values.count(name) || flags.count(name); }
  const std::string* Value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

// `valued` lists the options that take a value, `flags` those that stand alone.
ParsedOptions ParseOptions(const std::vector<std::string_view>& args,
                           const std::set<std::string>& valued, const std::set<std::string>& flags);

}  // namespace quendal::cli
