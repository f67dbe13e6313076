#include "app/cli/cli_operator.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <iostream>

#include "host/status.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace quendal::cli {

const char* MessageKindName(int kind) {
  switch (kind) {
    case kMessageWarning:
      return "warning";
    case kMessageError:
      return "error";
    case kMessageInformation:
      return "information";
    case kMessageConfirmation:
      return "confirmation";
    default:
      return "plain";
  }
}

CliOperator::CliOperator(bool events, int answer, std::FILE* out)
    : events_(events),
      answer_(answer),
      out_(out),
      barOnTerminal_(!events && isatty(fileno(out)) != 0),
      askOnTerminal_(isatty(fileno(stdin)) != 0) {}

void CliOperator::Emit(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void CliOperator::EndBar() {
  if (barShown_) {
    std::fputc('\n', out_);
    barShown_ = false;
  }
}

void CliOperator::SetStatus(const char* text) {
  if (events_) {
    Emit(nlohmann::ordered_json{{"event", "status"}, {"text", text}}.dump());
    return;
  }
  EndBar();
  Emit(std::string("Status: ") + text);
  if (lastProgress_ >= 0) SetProgress(lastProgress_);
}

void CliOperator::SetProgress(int position) {
  if (events_) {
    if (position != lastProgress_)
      Emit(nlohmann::ordered_json{{"event", "progress"}, {"value", position}}.dump());
    lastProgress_ = position;
    return;
  }
  lastProgress_ = position;
  if (!barOnTerminal_) return;
  const int width = 40;
  const int filled = position * width / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '-');
  std::fprintf(out_, "\r[%s] %3d%%", bar.c_str(), position);
  std::fflush(out_);
  barShown_ = true;
}

void CliOperator::ShowMessage(const char* text, const char* caption, int kind) {
  if (events_) {
    Emit(nlohmann::ordered_json{
        {"event", "message"}, {"caption", caption}, {"kind", MessageKindName(kind)}, {"text", text}}
             .dump());
    return;
  }
  EndBar();
  Emit(std::string("\n[") + caption + "] (" + MessageKindName(kind) + ")\n" + text + "\n");
}

int CliOperator::MessageBox(const char* text, const char* caption, int flags) {
  const bool twoButtons = (flags & 0x0F) == 1;
  int result = twoButtons ? answer_ : kBoxOk;
  if (twoButtons && askOnTerminal_) {
    EndBar();
    std::fprintf(stderr, "\n[%s]\n%s\nOK or Cancel? [o/c] ", caption, text);
    std::fflush(stderr);
    std::string line;
    result = std::getline(std::cin, line) && !line.empty() && (line[0] == 'o' || line[0] == 'O')
                 ? kBoxOk
                 : kBoxCancel;
  }
  if (events_) {
    Emit(nlohmann::ordered_json{{"event", "question"},
                                {"caption", caption},
                                {"text", text},
                                {"answer", result == kBoxOk ? "ok" : "cancel"}}
             .dump());
  } else if (!(twoButtons && askOnTerminal_)) {
    EndBar();
    Emit(std::string("\n[") + caption + "] (question)\n" + text +
         "\nAnswer: " + (result == kBoxOk ? "OK" : "Cancel") + "\n");
  }
  return result;
}

void CliOperator::Interruption(const std::string& text, const char* stage) {
  if (events_) {
    Emit(nlohmann::ordered_json{{"event", "interrupted"}, {"stage", stage}, {"text", text}}.dump());
    return;
  }
  EndBar();
  Emit(std::string("\n[Update Interrupted] (warning)\n") + text + "\n");
}

void CliOperator::Result(int code, unsigned seconds, const std::string& keptSettings) {
  const bool restored = code >= 0;
  if (events_) {
    nlohmann::ordered_json result{
        {"event", "result"}, {"code", code}, {"seconds", seconds}, {"settingsRestored", restored}};
    if (!keptSettings.empty()) result["settingsFile"] = keptSettings;
    Emit(result.dump());
    return;
  }
  EndBar();
  if (code >= 0) {
    Emit("Update finished in " + std::to_string(seconds) + " seconds.");
  } else if (code == kSettingsNotRestored) {
    Emit("Firmware updated in " + std::to_string(seconds) +
         " seconds, but not every setting was restored.");
  } else {
    Emit("Update failed (error " + std::to_string(code) + ").");
  }
  if (!keptSettings.empty()) {
    Emit("The settings are kept in " + keptSettings +
         "; the next update of this unit restores them, or: quendal-cli restore --port PORT "
         "--from \"" +
         keptSettings + "\"");
  }
}

}  // namespace quendal::cli
