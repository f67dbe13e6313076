#include "app/cli/cli_operator.h"

#include <cctype>
#include <cstring>
#include <iostream>

#include "host/device_text.h"
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

std::string QuestionName(const char* caption) {
  std::string name;
  for (const char* c = caption; *c; ++c) {
    const unsigned char ch = static_cast<unsigned char>(*c);
    if (std::isalnum(ch)) {
      name += static_cast<char>(std::tolower(ch));
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  while (!name.empty() && name.back() == '-') name.pop_back();
  return name;
}

std::string ClockText(unsigned seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", seconds / 60, seconds % 60);
  }
  return text;
}

namespace {

nlohmann::ordered_json WithValidText(const nlohmann::ordered_json& value) {
  if (value.is_string()) return ValidUtf8(value.get_ref<const std::string&>());
  if (value.is_array()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& item : value) out.push_back(WithValidText(item));
    return out;
  }
  if (value.is_object()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& [key, item] : value.items()) out[ValidUtf8(key)] = WithValidText(item);
    return out;
  }
  return value;
}

}  // namespace

std::string JsonLine(const nlohmann::ordered_json& event) {
  return WithValidText(event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

CliOperator::CliOperator(bool events, int answer, std::FILE* out)
    : events_(events),
      answer_(answer),
      out_(out),
      barOnTerminal_(!events && isatty(fileno(out)) != 0),
      askOnTerminal_(isatty(fileno(stdin)) != 0) {}

void CliOperator::SetAnswers(int answerAll, std::set<std::string> yes) {
  answerAll_ = answerAll;
  yes_ = std::move(yes);
}

void CliOperator::Emit(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void CliOperator::Tell(const std::string& text) {
  EndBar();
  std::fputs(text.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void CliOperator::Event(const nlohmann::ordered_json& event) {
  if (eventPort_.empty()) {
    Emit(JsonLine(event));
    return;
  }
  // The port right after the event's name, where a reader of several streams looks first.
  nlohmann::ordered_json withPort{{"event", event.value("event", "")}, {"port", eventPort_}};
  for (const auto& [key, value] : event.items()) {
    if (key != "event" && key != "port") withPort[key] = value;
  }
  Emit(JsonLine(withPort));
}

void CliOperator::EndBar() {
  if (barShown_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    barShown_ = false;
  }
}

void CliOperator::SetStatus(const char* text) {
  if (quiet_) return;
  if (events_) {
    Event({{"event", "status"}, {"text", text}});
    return;
  }
  EndBar();
  Emit(std::string("Status: ") + text);
  awaitingStatus_ = false;
  if (lastProgress_ >= 0) ShowProgress(lastProgress_);
}

void CliOperator::StageEntered(const char* stage) {
  if (quiet_) return;
  const bool writes = std::strcmp(stage, "loader start") == 0 || std::strcmp(stage, "erase") == 0;
  if (writes && !deviceShown_ && deviceSource_) {
    deviceShown_ = true;
    const DeviceFacts facts = deviceSource_();
    if (events_) {
      Event({{"event", "device"},
             {"kind", facts.kind},
             {"version", facts.version},
             {"serial", facts.serial},
             {"log", facts.log}});
    } else {
      EndBar();
      Emit("Device: " + VisibleText(facts.kind) +
           (facts.version.empty() ? "" : " version " + VisibleText(facts.version)) +
           ", serial " + (facts.serial.empty() ? "unknown" : VisibleText(facts.serial)) +
           ", on port " + facts.port);
      Emit("Log: " + facts.log);
    }
  }
  const double now = Now();
  if (std::strcmp(stage, "upload") == 0) {
    uploadStarted_ = now;
  } else if (phase_ == "upload") {
    uploadEnded_ = now;  // the rate stays that of the upload
  }
  phase_ = stage;
  if (events_) {
    Event({{"event", "phase"}, {"name", stage}});
    return;
  }
  // A stage that said nothing of itself lets its percentage out before the next one.
  if (awaitingStatus_ && lastProgress_ >= 0) ShowProgress(lastProgress_);
  awaitingStatus_ = true;
  // On a terminal the bar names the phase (drawn again with the status); elsewhere each
  // phase gets its line.
  if (!barOnTerminal_) Emit(std::string("Phase: ") + stage);
}

void CliOperator::LoaderBytes(std::uint32_t done, std::uint32_t total) {
  bytesDone_ = done;
  bytesTotal_ = total;
}

void CliOperator::LoaderWork(std::uint32_t done, std::uint32_t total) {
  timeLeft_.Work(phase_, Now(), done, total);
}

double CliOperator::Now() const {
  if (clock_) return clock_();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

std::string CliOperator::Timing(int position) {
  const double elapsed = Now();
  std::string text = ClockText(static_cast<unsigned>(elapsed));
  if (bytesDone_ > 0 && uploadStarted_ >= 0) {
    const double end = uploadEnded_ > uploadStarted_ ? uploadEnded_ : elapsed;
    const double uploading = end - uploadStarted_;
    // A rate over a fifth of a second means something; a finished upload has its own.
    if (uploading > 0.2 || (end == uploadEnded_ && uploading > 0)) {
      char rate[32];
      std::snprintf(rate, sizeof rate, "  %.0f B/s", bytesDone_ / uploading);
      text += rate;
    }
  }
  // Only the phase in progress can be timed honestly: the ones after it have rates of
  // their own that nothing has measured yet.
  if (position < 100 && timeLeft_.Phase() == phase_) {
    if (const double left = timeLeft_.SecondsLeft(elapsed); left >= 0) {
      text += "  " + phase_ + " " + ClockText(static_cast<unsigned>(left + 0.5)) + " left";
    }
  }
  return text;
}

void CliOperator::SetProgress(int position) {
  if (quiet_ || progressHeld_) return;
  if (events_) {
    if (position != lastProgress_) {
      nlohmann::ordered_json event{{"event", "progress"}};
      if (bytesTotal_ > 0) {
        event["bytes"] = bytesDone_;
        event["totalBytes"] = bytesTotal_;
      }
      // Last, as before the byte counts came: readers match on it.
      event["value"] = position;
      Event(event);
    }
    lastProgress_ = position;
    return;
  }
  lastProgress_ = position;
  if (!awaitingStatus_) ShowProgress(position);
}

void CliOperator::ShowProgress(int position) {
  if (!barOnTerminal_) {
    // A log or a pipe gets a line every tenth, not a bar redrawn in place.
    const int tenth = position / 10;
    if (position > 0 && tenth > lastLine_) {
      lastLine_ = tenth;
      Emit("Progress: " + std::to_string(position) + "%  " + Timing(position));
    }
    if (position == 0) lastLine_ = 0;
    return;
  }
  const int width = 30;
  const int filled = position * width / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '-');
  // Pad over whatever a longer earlier line left on the terminal.
  std::fprintf(out_, "\r[%s] %3d%%  %-12s %-34s", bar.c_str(), position, phase_.c_str(),
               Timing(position).c_str());
  std::fflush(out_);
  barShown_ = true;
}

void CliOperator::ShowMessage(const char* text, const char* caption, int kind) {
  if (quiet_ && kind != kMessageError && kind != kMessageWarning) return;
  if (events_) {
    Event({{"event", "message"}, {"caption", caption}, {"kind", MessageKindName(kind)}, {"text", text}});
    return;
  }
  Tell(std::string("\n[") + caption + "] (" + MessageKindName(kind) + ")\n" + text + "\n");
}

void CliOperator::Problem(const std::string& text, const char* caption) {
  if (events_) {
    // A reader of the events may take both streams as one: nothing but JSON there.
    Event({{"event", "message"}, {"caption", caption}, {"kind", "error"}, {"text", text}});
    return;
  }
  Tell("quendal-cli: " + text);
}

int CliOperator::MessageBox(const char* text, const char* caption, int flags) {
  const bool twoButtons = (flags & 0x0F) == 1;
  const std::string name = QuestionName(caption);
  int result = kBoxOk;
  bool asked = false;
  if (twoButtons) {
    if (yes_.count(name)) {
      result = kBoxOk;
    } else if (answerAll_ != 0) {
      result = answerAll_;
    } else if (!yes_.empty()) {
      result = kBoxCancel;
    } else if (askOnTerminal_) {
      asked = true;
      Tell(std::string("\n[") + caption + "]\n" + text);
      std::fputs("OK or Cancel? [o/c] ", stderr);
      std::fflush(stderr);
      std::string line;
      result = std::getline(std::cin, line) && !line.empty() && (line[0] == 'o' || line[0] == 'O')
                   ? kBoxOk
                   : kBoxCancel;
    } else {
      result = answer_;
    }
  }
  if (events_) {
    Event({{"event", "question"},
           {"caption", caption},
           {"name", name},
           {"text", text},
           {"answer", result == kBoxOk ? "ok" : "cancel"}});
  } else if (!asked && !(quiet_ && result == kBoxOk)) {
    Tell(std::string("\n[") + caption + "] (question)\n" + text +
         "\nAnswer: " + (result == kBoxOk ? "OK" : "Cancel") +
         (twoButtons && result != kBoxOk ? " (--yes " + name + " answers OK)" : std::string()) +
         "\n");
  }
  return result;
}

void CliOperator::LogLine(const std::string& line) {
  EndBar();
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void CliOperator::Interruption(const std::string& text, const char* stage) {
  if (events_) {
    Event({{"event", "interrupted"}, {"stage", stage}, {"text", text}});
    return;
  }
  Tell(std::string("\n[Update Interrupted] (warning)\n") + text + "\n");
}

void CliOperator::Result(int code, int status) {
  RunResult result;
  result.code = code;
  result.status = status;
  Result(result);
}

void CliOperator::Result(const RunResult& r) {
  if (events_) {
    auto version = [](const std::string& text) {
      return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
    };
    nlohmann::ordered_json result{{"event", "result"},
                                  {"code", r.code},
                                  {"seconds", r.seconds},
                                  {"settingsRestored",
                                   r.code >= 0 && !r.dryRun && r.skipped.empty()},
                                  {"status", r.status},
                                  {"firmwareBefore", version(r.firmwareBefore)},
                                  {"firmwareAfter", version(r.firmwareAfter)}};
    if (!r.left.empty()) result["left"] = r.left;
    if (!r.advice.empty()) result["advice"] = r.advice;
    if (!r.keptFile.empty()) result["settingsFile"] = r.keptFile;
    if (!r.device.empty()) result["device"] = r.device;
    if (!r.serial.empty()) result["serial"] = r.serial;
    if (r.dryRun) result["dryRun"] = true;
    if (!r.wouldDo.empty()) result["wouldDo"] = r.wouldDo;
    if (!r.skipped.empty()) result["skipped"] = r.skipped;
    Event(result);
    return;
  }
  EndBar();
  const std::string seconds = std::to_string(r.seconds);
  if (!r.skipped.empty()) {
    Emit("Skipped: the unit " + r.skipped + ", the image's version; nothing was written.");
  } else if (r.dryRun) {
    if (!r.wouldDo.empty()) Emit("Dry run: " + r.wouldDo + ".");
    std::string ended = "Dry run ended in ";
    ended += seconds;
    ended += r.code >= 0 ? " seconds: nothing was written to the device."
                         : " seconds: the update could not go ahead; nothing was written.";
    Emit(ended);
  } else if (r.restore && r.code >= 0) {
    Emit("Restore finished in " + seconds + " seconds: every setting is back.");
  } else if (r.restore && r.code == kSettingsNotRestored) {
    Emit("Restore ended in " + seconds + " seconds, but not every setting is back.");
  } else if (r.code >= 0 && !r.restore) {
    Emit("Update finished in " + seconds + " seconds.");
  } else if (r.code == kSettingsNotRestored && !r.restore) {
    Emit("Firmware updated in " + seconds + " seconds, but not every setting was restored.");
  } else {
    // Built up with +=: MinGW's GCC 12 takes a literal + to_string for an overlapping copy.
    std::string failed = r.restore ? "Restore failed (error " : "Update failed (error ";
    failed += std::to_string(r.code);
    failed += ").";
    Emit(failed);
  }
  if (!r.advice.empty() && !r.adviceShown) Emit(r.advice);
}

}  // namespace quendal::cli
