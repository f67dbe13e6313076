#pragma once
// The text command shell that an instrument's firmware puts on its serial line: a command
// ends at CR, and every answer is CR, the body, CR and the prompt ">".
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quendal::sim {

struct ShellOptions {
  std::string versionText = "KCD 1.23";  // the answer to "get -ver"
  bool hasLoader = true;                 // without: "boot ZAVE" gets "Quendal MISSING"
  bool oldFirmware = false;              // every unknown command, "get -ver" too: "ERROR"
};

class InstrumentShell {
 public:
  static constexpr std::size_t kMaxLine = 256;

  enum class Action { kNone, kStartLoader };
  struct Answer {
    std::string text;  // what goes on the line, framing and prompt included
    Action action = Action::kNone;
  };
  // A richer shell answers more commands: it returns the body, or nothing for commands it
  // does not know either.
  using Extension = std::function<std::optional<std::string>(std::string_view command)>;

  explicit InstrumentShell(ShellOptions options) : options_(std::move(options)) {}

  void SetExtension(Extension extension) { extension_ = std::move(extension); }
  const ShellOptions& options() const { return options_; }
  void SetOldFirmware(bool old) { options_.oldFirmware = old; }
  void SetVersionText(std::string text) { options_.versionText = std::move(text); }

  // Drops a half-typed line (the firmware restarted).
  void Reset() { line_.clear(); }
  // Takes one byte; true when a CR completed a command, which is then in `command`.
  bool Feed(char byte, std::string* command);
  // Answers one command; `codeGood` is the firmware's self-test result.
  Answer Run(std::string_view command, bool codeGood) const;

  static std::string Framed(std::string_view body);

 private:
  ShellOptions options_;
  Extension extension_;
  std::string line_;
};

}  // namespace quendal::sim
