#pragma once
// The update engine's operator interface on a terminal: human text or JSON Lines events.
// Events, status, progress and the result go to `out`; messages, questions and errors to
// standard error, so that a failure shows even when the output is redirected.
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>

#include "app/cli/time_left.h"
#include "app/engine/operator_interface.h"

namespace quendal::cli {

// The device an update is about to write to, shown before the first write.
struct DeviceFacts {
  std::string kind;
  std::string version;
  std::string serial;
  std::string port;
  std::string log;
};

// The event as one JSON line: every text made valid UTF-8 the one way the program does
// (a device's stray byte 0xFF becomes U+00FF), so no text can stop the dump.
std::string JsonLine(const nlohmann::ordered_json& event);

// How an update or a restore ended, as the console reports it.
struct RunResult {
  int code = 0;
  unsigned seconds = 0;
  int status = 0;  // the exit status
  bool restore = false;
  std::string firmwareBefore;  // "3.90"; empty: not known
  std::string firmwareAfter;
  std::string left;      // what the device was left in
  std::string advice;    // what to do next; empty: nothing
  std::string keptFile;  // this unit's settings file that a restore still owes
  bool adviceShown = false;  // the human form has shown the advice already
  std::string device;  // the unit as the attempt identified it; empty: none answered
  std::string serial;
  bool dryRun = false;
  std::string wouldDo;  // a dry run that passed every check: what the update would do
  std::string skipped;  // "already runs 3.96": the unit was left as it was
};

class CliOperator : public OperatorInterface {
 public:
  // `answer`: what a question gets when standard input is no terminal (kBoxOk/kBoxCancel).
  CliOperator(bool events, int answer, std::FILE* out = stdout);

  void SetStatus(const char* text) override;
  void HideStatus() override {}
  void SetProgress(int position) override;
  void ShowMessage(const char* text, const char* caption, int kind) override;
  int MessageBox(const char* text, const char* caption, int flags) override;
  void Beep(int) override {}
  void PumpMessages() override {
    if (pumpHook_) pumpHook_();
  }
  void SetConnectText(const char*) override {}
  void StageEntered(const char* stage) override;

  // How questions are answered: `answerAll` (kBoxOk/kBoxCancel; 0: not given) answers every
  // one; else the questions named in `yes` get OK and, when any are named, the rest Cancel.
  // A question no option answers is asked on a terminal, and cancelled elsewhere.
  void SetAnswers(int answerAll, std::set<std::string> yes);
  // Every event carries this "port" field from now on (empty: none).
  void SetEventPort(std::string port) { eventPort_ = std::move(port); }
  // What the loader has sent of the image, for the transfer rate.
  void LoaderBytes(std::uint32_t done, std::uint32_t total);
  // The loader's work of the phase in progress (erase segments, image characters), for
  // the time left.
  void LoaderWork(std::uint32_t done, std::uint32_t total);
  // The bar stays where it is from now on: an interrupted update has not gone back to 0.
  void HoldProgress() { progressHeld_ = true; }
  // Seconds since the start for the elapsed time, the rates and the time left (default:
  // the steady clock).
  void SetClock(std::function<double()> seconds) { clock_ = std::move(seconds); }
  // Supplies the device shown once before the first write to it.
  void SetDeviceSource(std::function<DeviceFacts()> source) { deviceSource_ = std::move(source); }

  // The end of an update or a restore.
  void Result(const RunResult& result);
  // The end of a run that stopped before it reached the engine: `code`, exit `status`.
  void Result(int code, int status);
  // What an interrupted update left behind, and the stage it stopped before or in.
  void Interruption(const std::string& text, const char* stage);
  // A problem of the console itself (a port, a folder, a file): standard error, or a
  // message event.
  void Problem(const std::string& text, const char* caption);
  // Runs at every point where a window would let its messages run.
  void SetPumpHook(std::function<void()> hook) { pumpHook_ = std::move(hook); }
  // Writes one event (with the port field when set).
  void Event(const nlohmann::ordered_json& event);
  // -q: the text shows only errors, warnings, refused questions and the result (events
  // stay whole).
  void SetQuiet(bool quiet) { quiet_ = quiet && !events_; }
  // -v: a line of the log as it is written, on standard error.
  void LogLine(const std::string& line);

 private:
  void EndBar();
  void Emit(const std::string& line);
  void Tell(const std::string& text);
  std::string Timing(int position);
  double Now() const;
  void ShowProgress(int position);

  bool events_;
  int answer_;
  std::FILE* out_;
  bool barOnTerminal_;
  bool askOnTerminal_;
  bool barShown_ = false;
  int lastProgress_ = -1;
  int lastLine_ = -1;  // the last tenth printed without a terminal
  // A stage has begun and its status line has not come yet: its percentages wait for it.
  bool awaitingStatus_ = false;
  bool progressHeld_ = false;
  TimeLeft timeLeft_;
  int answerAll_ = 0;
  std::set<std::string> yes_;
  std::string eventPort_;
  std::uint32_t bytesDone_ = 0;
  std::uint32_t bytesTotal_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::function<double()> clock_;
  double uploadStarted_ = -1;  // seconds on the clock; negative: not yet
  double uploadEnded_ = -1;
  std::string phase_;
  std::function<DeviceFacts()> deviceSource_;
  bool deviceShown_ = false;
  std::function<void()> pumpHook_;
  bool quiet_ = false;
};

const char* MessageKindName(int kind);
// The name of a question for --yes: its caption in lower case, words joined by "-".
std::string QuestionName(const char* caption);
// "1:05" for 65 s, "1:02:03" past an hour.
std::string ClockText(unsigned seconds);

}  // namespace quendal::cli
