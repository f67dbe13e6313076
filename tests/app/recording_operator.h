#pragma once
// An operator that writes down everything the engine tells it and answers its questions
// from a list.
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "app/engine/operator_interface.h"

namespace quendal::test {

struct Shown {
  std::string caption;
  int kind;  // a MessageKind, or -1 for a question
  std::string text;
};

class RecordingOperator : public OperatorInterface {
 public:
  void SetStatus(const char* text) override { statuses.push_back(text); }
  void HideStatus() override { statusHidden = true; }
  void SetProgress(int position) override { progress.push_back(position); }
  void ShowMessage(const char* text, const char* caption, int kind) override {
    shown.push_back({caption, kind, text});
  }
  int MessageBox(const char* text, const char* caption, int flags) override {
    shown.push_back({caption, -1, text});
    boxFlags.push_back(flags);
    if (answers.empty()) return kBoxCancel;
    int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void Beep(int sound) override { beeps.push_back(sound); }
  void PumpMessages() override { ++pumps; }
  void SetConnectText(const char* text) override { connectText = text; }

  bool Reached(int position) const {
    return std::find(progress.begin(), progress.end(), position) != progress.end();
  }
  std::string Captions() const {
    std::string all;
    for (const Shown& s : shown) all += (all.empty() ? "" : ", ") + s.caption;
    return all;
  }

  std::vector<std::string> statuses;
  std::vector<int> progress;
  std::vector<Shown> shown;
  std::vector<int> boxFlags;
  std::vector<int> beeps;
  std::deque<int> answers;
  std::string connectText;
  bool statusHidden = false;
  int pumps = 0;
};

}  // namespace quendal::test
