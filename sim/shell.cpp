#include "sim/shell.h"

namespace quendal::sim {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string InstrumentShell::Framed(std::string_view body) {
  std::string text = "\r";
  text.append(body);
  text.append("\r>");
  return text;
}

bool InstrumentShell::Feed(char byte, std::string* command) {
  if (byte == '\n') return false;
  if (byte != '\r') {
    // Past the limit the line is cut; a real shell's buffer does no better.
    if (line_.size() < kMaxLine) line_.push_back(byte);
    return false;
  }
  command->swap(line_);
  line_.clear();
  return true;
}

InstrumentShell::Answer InstrumentShell::Run(std::string_view command, bool codeGood) const {
  Answer answer;
  std::string_view c = Trim(command);
  if (c.empty()) {
    answer.text = Framed("");
  } else if (c == "boot ZAVE") {
    if (options_.hasLoader) {
      // The prompt never comes: the loader owns the line from here.
      answer.text = "\rOK\r";
      answer.action = Action::kStartLoader;
    } else {
      answer.text = Framed("Quendal MISSING");
    }
  } else if (c == "post" || c == "post -init") {
    answer.text = Framed(codeGood ? "Code Good!" : "Code Corrupt!");
  } else if (c == "get -ver" && !options_.oldFirmware) {
    answer.text = Framed(options_.versionText);
  } else if (auto body = extension_ ? extension_(c) : std::nullopt) {
    answer.text = Framed(*body);
  } else {
    answer.text = Framed(options_.oldFirmware ? "ERROR" : "Unsupported");
  }
  return answer;
}

}  // namespace quendal::sim
