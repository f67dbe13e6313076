// The window's side of an update: Start, the close request while one runs, and what the
// engine tells the operator through the window's status line and message boxes.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "app/gui/frm_main.h"
#include "host/device_text.h"
#include "host/file_ops.h"
#include "web/frm_web.h"

namespace quendal {
namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// The texts carry their own line ends. Left to itself the box breaks a line wider than its
// limit anywhere, even inside a word; so every line is shown whole, as written.
void SetBoxText(QMessageBox* box, const QString& text) {
  box->setTextFormat(Qt::RichText);
  box->setText("<p style=\"white-space:pre\">" + text.toHtmlEscaped() + "</p>");
}

// A failure names the log, where the details of what went wrong are.
void AddLogDetail(QMessageBox* box, int kind, const std::string& logPath) {
  if ((kind == kMessageError || kind == kMessageWarning) && !logPath.empty())
    box->setDetailedText("The details are in the log:\n" + QString::fromStdString(logPath));
}

void ShowRealMessage(QWidget* parent, const QString& text, const QString& caption, int kind,
                     const std::string& logPath) {
  QMessageBox box(MessageKindIcon(kind), caption, QString(), QMessageBox::Ok, parent);
  SetBoxText(&box, text);
  AddLogDetail(&box, kind, logPath);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.exec();
}

int AskReal(QWidget* parent, const QString& text, const QString& caption, int flags) {
  const bool withCancel = (flags & 0x0F) == 1;
  QMessageBox box(QMessageBox::Warning, caption, QString(),
                  withCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, parent);
  SetBoxText(&box, text);
  return box.exec() == QMessageBox::Ok ? kBoxOk : kBoxCancel;
}


// A data folder another user can change is a way into this user's files (a link planted
// there): refused before the device is touched, as the console refuses it.
bool DataFolderRefused(UpdaterEngine* e) {
  const std::string why = FolderTrustProblem(e->dataFolder);
  if (why.empty()) return false;
  const std::string text = "The data folder \"" + e->dataFolder + "\" is not safe to use: " + why;
  SetStatus(e, text);
  ShowMessageOk(e,
                text + ".\n\nNothing was changed. Make the folder your own and closed to other "
                       "users, and try again.",
                "Data Folder Error", kMessageError);
  return true;
}

}  // namespace

void TfrmMain::InstallRealDialogs() {
  dialogs.message = [this](const QString& text, const QString& caption, int kind) {
    ShowRealMessage(this, text, caption, kind, engine_->errorFilePath);
  };
  dialogs.box = [this](const QString& text, const QString& caption, int flags) {
    return AskReal(this, text, caption, flags);
  };
}

void TfrmMain::btnStartClick() {
  btnStart->setEnabled(false);
  btnClose->setEnabled(false);
  UpdateFirmware1->setEnabled(false);
  timerStart->start();
}

void TfrmMain::UpdateFirmware1Click() {
  // The same update as the button's: a Start or Close pressed under it would open the port
  // twice or hide the window while the upload goes on.
  btnStartClick();
}

void TfrmMain::btnCloseClick() {
  // Closing at once under an update would hide the window while the upload goes on, so it
  // asks as the close request does.
  if (Updating(*engine_)) return Exit1Click();
  closeAtOnce_ = true;
  close();
  closeAtOnce_ = false;
}

void TfrmMain::Exit1Click() {
  close();
}

void TfrmMain::timerStartTimer() {
  timerStart->stop();
  UpdaterEngine* e = engine_.get();
  // A Start pressed while a menu-started update waits would open the same port twice.
  if (Updating(*e)) return;
  cbCommPort->setEnabled(false);
  HideFound();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  e->options.newSerialNumber = newSNstr->text().toStdString();
  if (!DataFolderRefused(e)) {
    RunUpdate(e);
    ShowFound();
    ShowEnding();
  }

  btnStart->setEnabled(true);
  btnStart->setDefault(false);
  btnClose->setEnabled(true);
  btnClose->setDefault(true);
  UpdateFirmware1->setEnabled(true);
  PromptforSerialNumber1->setChecked(false);
  e->options.replaceSerialNumber = false;
  newSNstr->hide();
  newSN->hide();
  newSNstr->clear();
  cbCommPort->setEnabled(true);
  QApplication::restoreOverrideCursor();
}

void TfrmMain::ShowEnding() {
  UpdaterEngine* e = engine_.get();
  // A window closed during the update asks for nothing more.
  if (!e->attempt || e->attempt->stopRequested) return;
  const UpdateEnding ending = LastEnding(*e);
  if (ending.left == DeviceLeft::kFirmwareIncomplete) {
    ShowMessageOk(e, ending.Text(), "Update Not Finished", kMessageWarning);
  } else if (ending.left == DeviceLeft::kSettingsOwed) {
    ShowMessageOk(e, ending.Text(), "Settings Not Restored", kMessageWarning);
  }
}

void TfrmMain::ShowFound() {
  const UpdaterEngine& e = *engine_;
  const UpdateAttempt* a = e.attempt.get();
  if (!a || a->result < 0 || a->options.dryRun) return;
  auto version = [](std::uint32_t hundredths) {
    return hundredths > 0 ? QString::fromStdString(VersionText(hundredths)) : QString("?");
  };
  const QString serial = a->serial.empty() ? QString("unknown") : Q(VisibleText(a->serial));
  foundText->setText("Found: " + Q(VisibleText(FoundDeviceKind(e))) + ", serial " + serial +
                     ", firmware " + version(a->firmwareBefore) + " " + QChar(0x2192) + " " +
                     version(LastEnding(e).firmwareAfter));
  foundText->show();
  // The text names the folder whole; the link opens it as the File menu's item does.
  const QString folder = QDir::toNativeSeparators(QFileInfo(Q(e.errorFilePath)).absolutePath());
  logFolderText->setText("Open Log Folder: <a href=\"" +
                         QUrl::fromLocalFile(folder).toString().toHtmlEscaped() + "\">" +
                         folder.toHtmlEscaped() + "</a>");
  logFolderText->show();
  // The window grows by the details rather than squeeze the lines above them.
  const int width = statusBar->width();
  const int spacing = std::max(0, statusBar->parentWidget()->layout()->spacing());
  centralWidget()->setFixedHeight(kClientHeight + foundText->heightForWidth(width) +
                                  logFolderText->heightForWidth(width) + 2 * spacing);
}

void TfrmMain::HideFound() {
  foundText->hide();
  logFolderText->hide();
  centralWidget()->setFixedHeight(kClientHeight);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  UpdaterEngine* e = engine_.get();
  if (!closeAtOnce_ && Updating(*e)) {
    const std::string caption = e->WindowCaption();
    const std::string name = e->targetDisplayName;
    const std::string text = "The " + caption + " is updating your " + name +
                             "!\nThis process should NOT be interrupted.\n\n" + "Your " + name +
                             " may be unusable or have missing settings\n" +
                             "until you complete the firmware update process.\n\n" +
                             "Click OK to continue updating your " + name + ".\n";
    if (MessageBox(text.c_str(), "Don't Quit Now!", 48) == kBoxOk) {
      event->ignore();
      return;
    }
  }
  if (!closeAtOnce_) RequestStop(e);
  FormClose();
  event->accept();
  // The program ends with its window even when the close came during a wait of the
  // window's own (a web request, a pump), which the last-window rule alone missed.
  QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

// OperatorInterface.

void TfrmMain::SetStatus(const char* text) {
  statusText->setText(QString::fromUtf8(text));
  statusText->show();
  statusText->repaint();
}

void TfrmMain::HideStatus() {
  statusText->hide();
}

void TfrmMain::SetProgress(int position) {
  statusBar->setValue(position);
}

void TfrmMain::ShowModeless(const QString& text, const QString& caption, int kind) {
  auto* box = new QMessageBox(MessageKindIcon(kind), caption, QString(), QMessageBox::Ok, this);
  SetBoxText(box, text);
  AddLogDetail(box, kind, engine_->errorFilePath);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  box->setWindowModality(Qt::NonModal);
  box->show();
}

void TfrmMain::ShowMessage(const char* text, const char* caption, int kind) {
  if (pumping_ > 0) {
    ShowModeless(QString::fromUtf8(text), QString::fromUtf8(caption), kind);
    return;
  }
  if (dialogs.message) dialogs.message(QString::fromUtf8(text), QString::fromUtf8(caption), kind);
}

int TfrmMain::MessageBox(const char* text, const char* caption, int flags) {
  // OK alone has one answer; the update need not wait for it.
  if (pumping_ > 0 && (flags & 0x0F) == 0) {
    ShowModeless(QString::fromUtf8(text), QString::fromUtf8(caption), kMessageWarning);
    return kBoxOk;
  }
  if (!dialogs.box) return kBoxCancel;
  return dialogs.box(QString::fromUtf8(text), QString::fromUtf8(caption), flags);
}

void TfrmMain::Beep(int sound) {
  if (dialogs.beep) dialogs.beep(sound);
}

void TfrmMain::PumpMessages() {
  repaint();
  ++pumping_;
  QCoreApplication::processEvents();
  --pumping_;
}

void TfrmMain::SetConnectText(const char* text) {
  lblConnect->setText(QString::fromUtf8(text));
}

}  // namespace quendal
