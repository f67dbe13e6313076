#pragma once
// What the update sequences need from whoever sits in front of them: a window or a
// terminal. The sequences talk to nothing else, so every step runs without a window.
#include "host/message_kind.h"

namespace quendal {

// Results of the standard message box.
inline constexpr int kBoxOk = 1;
inline constexpr int kBoxCancel = 2;

class OperatorInterface {
 public:
  virtual ~OperatorInterface() = default;

  virtual void SetStatus(const char* text) = 0;
  virtual void HideStatus() = 0;
  // The bar's position, 0 to 100.
  virtual void SetProgress(int position) = 0;
  // One modal dialog with an OK button; `kind` is a MessageKind.
  virtual void ShowMessage(const char* text, const char* caption, int kind) = 0;
  // OK and Cancel (flags 49) or OK alone (flags 48), exclamation icon; kBoxOk or kBoxCancel.
  virtual int MessageBox(const char* text, const char* caption, int flags) = 0;
  // The system sound of a message kind (16, 32, 48 or 64).
  virtual void Beep(int sound) = 0;
  // Repaints and runs pending messages.
  virtual void PumpMessages() = 0;
  // The line that tells the operator what to do with the device.
  virtual void SetConnectText(const char* text) = 0;
  // The update has moved on to the named stage ("connect", "save", "erase" ...).
  virtual void StageEntered(const char* /*stage*/) {}
};

}  // namespace quendal
