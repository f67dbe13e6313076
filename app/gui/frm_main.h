#pragma once
// The updater's main window: port choice, Start, progress, and the menus. The update
// itself runs in the engine on this window's thread; the window only shows what it says.
#include <QComboBox>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <vector>

#include "app/engine/operator_interface.h"
#include "app/engine/updater_engine.h"
#include "host/port_enum.h"

class QAction;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace quendal {

class TfrmWeb;

inline constexpr int kPortTableSize = 16;
// The window's client area; a success's details add to its height.
inline constexpr int kClientWidth = 313;
inline constexpr int kClientHeight = 262;

// A port list that says when it is about to open, so it can be refilled first.
class PortComboBox : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> onDropDown;
  void showPopup() override;
};

// Every dialog the window can show goes through one of these, so tests can answer them.
struct Dialogs {
  std::function<void(const QString& text, const QString& caption, int kind)> message;
  // Returns kBoxOk or kBoxCancel.
  std::function<int(const QString& text, const QString& caption, int flags)> box;
  // An existing file to open, or "" for cancel.
  std::function<QString()> openFirmware;
  // A file to write, or "" for cancel.
  std::function<QString()> saveFirmware;
  std::function<void(int sound)> beep;
  // Shows a folder in the system's file manager; false when that failed.
  std::function<bool(const QUrl& folder)> openFolder;
};

struct WindowOptions {
  QStringList arguments;   // after the program name
  std::string dataFolder;  // empty: the per-user folder
  PortEnumPlaces portPlaces;
  BuildSettings build = ThisBuild();
};

class TfrmMain : public QMainWindow, public OperatorInterface {
 public:
  explicit TfrmMain(WindowOptions options = {}, QWidget* parent = nullptr);
  ~TfrmMain() override;

  Dialogs dialogs;  // defaults show real dialogs
  // The feedback form, which also runs the version check; none: both do nothing.
  TfrmWeb* frmWeb = nullptr;

  // OperatorInterface.
  void SetStatus(const char* text) override;
  void HideStatus() override;
  void SetProgress(int position) override;
  void ShowMessage(const char* text, const char* caption, int kind) override;
  int MessageBox(const char* text, const char* caption, int flags) override;
  void Beep(int sound) override;
  void PumpMessages() override;
  void SetConnectText(const char* text) override;

  UpdaterEngine* engine() { return engine_.get(); }

  // The window's own state: the ports its list shows and the choices of its menus.
  PortEntry ports[kPortTableSize];
  std::int32_t portCount = 0;
  std::int32_t selectedPortIndex = 0;
  bool findAllPorts = false;

  // Handlers, by the names the rest of the program knows them by.
  void FormShow();
  void FormClose();
  void cbCommPortDropDown();
  void cbCommPortChange(int index);
  void btnStartClick();
  void btnCloseClick();
  void UpdateFirmware1Click();
  void timerStartTimer();
  void timerEraseWarnTimer();
  void timerConstructorErrorsTimer();
  void tWebCheckTimer();
  void CheckforUpdates1Click();
  void SendFeedbacktoOrvelle1Click();
  void Exit1Click();
  void VerboseErrorFile1Click();
  void ForceFindAllCommPorts1Click();
  void PromptforSerialNumber1Click();
  void DontEraseData1Click();
  void OpenFirmwareFile1Click();
  void DumpFirmwareImage1Click();
  void SensorTypeClick(std::int32_t code);
  void OpenLogFolder1Click();

  // Controls.
  QLabel* icon = nullptr;
  QLabel* userText1 = nullptr;
  QLabel* userText2 = nullptr;
  QLabel* lblConnect = nullptr;
  QLabel* commLabel = nullptr;
  PortComboBox* cbCommPort = nullptr;
  QLabel* statusLabel = nullptr;
  QLabel* statusText = nullptr;
  QProgressBar* statusBar = nullptr;
  QLabel* newSN = nullptr;
  QLineEdit* newSNstr = nullptr;
  // After a success: the device the update found, and where its log is.
  QLabel* foundText = nullptr;
  QLabel* logFolderText = nullptr;
  QPushButton* btnClose = nullptr;
  QPushButton* btnStart = nullptr;

  QTimer* timerStart = nullptr;
  QTimer* timerEraseWarn = nullptr;
  QTimer* timerConstructorErrors = nullptr;
  QTimer* tWebCheck = nullptr;

  QAction* OpenFirmwareFile1 = nullptr;
  QAction* UpdateFirmware1 = nullptr;
  QAction* DumpFirmwareImage1 = nullptr;
  QAction* OpenLogFolder1 = nullptr;
  QAction* Exit1 = nullptr;
  QAction* VerboseErrorFile1 = nullptr;
  QAction* ForceFindAllCommPorts1 = nullptr;
  QAction* DontEraseData1 = nullptr;
  QAction* PromptforSerialNumber1 = nullptr;
  QAction* N3 = nullptr;
  QAction* Set1 = nullptr;
  std::vector<std::pair<QAction*, std::int32_t>> sensorItems;
  QAction* Help2 = nullptr;
  QAction* SendFeedbacktoOrvelle1 = nullptr;
  QAction* CheckforUpdates1 = nullptr;
  QAction* About1 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void InstallRealDialogs();
  void BuildControls();
  void BuildMenus();
  void FillPortList(bool once);
  void ShowTargetTexts();
  void CheckSensorItem();
  void CommitPort(int index);
  // Runs a Help item that needs the web once the request now waiting has ended.
  bool QueuedBehindWebRequest(bool* queued, void (TfrmMain::*handler)());

  // Tells how the update just run ended, when it left something to do.
  void ShowEnding();
  // Names the device a successful update found and the log's folder.
  void ShowFound();
  void HideFound();

  WindowOptions options_;
  std::unique_ptr<UpdaterEngine> engine_;
  DeviceLink portLink_;
  bool shown_ = false;
  bool closeAtOnce_ = false;
  // Above 0 while a running update lets the window's messages run: a box opened then was
  // asked for by the operator and must not hold the update up.
  int pumping_ = 0;
  void ShowModeless(const QString& text, const QString& caption, int kind);
  QString savedPort_;
  bool portSaved_ = false;
  bool checkQueued_ = false;
  bool feedbackQueued_ = false;
};

}  // namespace quendal
