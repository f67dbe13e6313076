#pragma once
// The update engine's operator interface on a terminal: human text or JSON Lines events.
#include <cstdio>
#include <functional>
#include <string>

#include "app/engine/operator_interface.h"

namespace quendal::cli {

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

  // The last line: the sequence's result and the time taken.
  // The update's end; `keptSettings`: the settings file that waits for a restore still owed
  // (empty: none).
  void Result(int code, unsigned seconds, const std::string& keptSettings = {});
  // What an interrupted update left behind, and the stage it stopped before or in.
  void Interruption(const std::string& text, const char* stage);
  // Runs at every point where a window would let its messages run.
  void SetPumpHook(std::function<void()> hook) { pumpHook_ = std::move(hook); }

 private:
  void EndBar();
  void Emit(const std::string& line);

  bool events_;
  int answer_;
  std::FILE* out_;
  bool barOnTerminal_;
  bool askOnTerminal_;
  bool barShown_ = false;
  int lastProgress_ = -1;
  std::function<void()> pumpHook_;
};

const char* MessageKindName(int kind);

}  // namespace quendal::cli
