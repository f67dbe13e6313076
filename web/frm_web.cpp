// What the version check and the feedback form share: the dialog, its message boxes, the
// preferences that name the service, and one HTTP client whose requests wait in a local event
// loop. The version check is in version_check.cpp, the form in feedback_form.cpp.
#include "web/frm_web.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileDialog>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>

#ifdef _WIN32
#ifndef NOMINMAX  // MinGW's C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>
// The operator interface has a MessageBox of its own.
#undef MessageBox
#endif

#include "host/diagnostic_log.h"
#include "host/message_kind.h"

#ifndef QUENDAL_WEB_SERVICE_DEFAULT
#define QUENDAL_WEB_SERVICE_DEFAULT "https://www.orvelle.com"
#endif
#ifndef QUENDAL_FEEDBACK_RECIPIENT_DEFAULT
#define QUENDAL_FEEDBACK_RECIPIENT_DEFAULT "support@orvelle.com"
#endif

namespace quendal {
namespace {

constexpr const char* kSource = "Quendal frmWeb";
constexpr const char* kOrganisation = "Orvelle Devices, Inc";

// "Software\Orvelle Devices, Inc\Quendal" and "...\FeedbackForm" on Windows; the
// platform's own place elsewhere.
QSettings Preferences() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                   "Quendal");
}

bool ShowRealMessage(QWidget* parent, const QString& text, const QString& caption, bool yesNo,
                     int kind) {
  QMessageBox box(MessageKindIcon(kind), caption, text,
                  yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
  if (yesNo) box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace

QMessageBox::Icon MessageKindIcon(int kind) {
  switch (kind) {
    case kMessageWarning:
      return QMessageBox::Warning;
    case kMessageError:
      return QMessageBox::Critical;
    case kMessageInformation:
      return QMessageBox::Information;
    case kMessageConfirmation:
      return QMessageBox::Question;
    default:
      return QMessageBox::NoIcon;
  }
}

QString PreferencesOrganisation() {
  const QString named = QCoreApplication::organizationName();
  return named.isEmpty() ? QString(kOrganisation) : named;
}

void SystemBeep(int sound) {
#ifdef _WIN32
  MessageBeep(static_cast<UINT>(sound));
#else
  (void)sound;
  QApplication::beep();
#endif
}

QString WebServiceAddress() {
  const QString fromEnvironment = qEnvironmentVariable("QUENDAL_WEB_SERVICE").trimmed();
  if (!fromEnvironment.isEmpty()) return fromEnvironment;
  const QString fromPreferences = Preferences().value("WebService").toString().trimmed();
  if (!fromPreferences.isEmpty()) return fromPreferences;
  return QStringLiteral(QUENDAL_WEB_SERVICE_DEFAULT);
}

QString DefaultFeedbackRecipient() {
  const QString fromPreferences = Preferences().value("FeedbackRecipient").toString().trimmed();
  if (!fromPreferences.isEmpty()) return fromPreferences;
  return QStringLiteral(QUENDAL_FEEDBACK_RECIPIENT_DEFAULT);
}

TfrmWeb::TfrmWeb(QWidget* parent) : QDialog(parent), serviceAddress(WebServiceAddress()) {
  setObjectName("frmWeb");
  dialogs.message = [this](const QString& text, const QString& caption, bool yesNo, int kind) {
    // A message about the form belongs to it: owned by the main window, closing it would
    // make the main window active and send the operator's typing to the port list.
    QWidget* owner = isVisible() || !parentWidget() ? this : parentWidget();
    return ShowRealMessage(owner, text, caption, yesNo, kind);
  };
  dialogs.beep = SystemBeep;
  dialogs.chooseFile = [this](const QString& folder) {
#ifdef _WIN32
    const char* filter = "Any File Type (*.*)";
#else
    // "*.*" would hide the files without an extension here.
    const char* filter = "Any File Type (*)";
#endif
    return QFileDialog::getOpenFileName(this, "Send File with Feedback", folder, filter);
  };
  dialogs.openBrowser = [](const QUrl& address) { return QDesktopServices::openUrl(address); };

  http_ = new QNetworkAccessManager(this);
  http_->setProxy(QNetworkProxy::NoProxy);
  http_->setCookieJar(new QNetworkCookieJar(http_));
  connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
    quitting_ = true;
    if (running_) running_->abort();
  });

  setWindowTitle("Send Feedback to Orvelle");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  BuildControls();
  setFixedSize(383, 492);
}

TfrmWeb::~TfrmWeb() {
  if (running_) running_->abort();
}

void TfrmWeb::Log(const QString& text) {
  if (log) LogPrint(log, kLogFailure, kSource, "%s", text.toUtf8().constData());
}

void TfrmWeb::WhenIdle(std::function<void()> action) {
  if (!busy_) return action();
  idleActions_.push_back(std::move(action));
}

void TfrmWeb::RunIdleActionsLater() {
  if (idleActions_.empty()) return;
  // From the event loop, once the operation that ended has returned to its caller.
  QTimer::singleShot(0, this, [this] {
    if (Quitting()) return idleActions_.clear();
    while (!busy_ && !idleActions_.empty()) {
      std::function<void()> action = std::move(idleActions_.front());
      idleActions_.erase(idleActions_.begin());
      action();
    }
  });
}

bool TfrmWeb::Quitting() const {
  return quitting_ || QCoreApplication::closingDown();
}

bool TfrmWeb::ShowWebMessage(const QString& text, const QString& caption, bool yesNo, int kind) {
  // Nobody is left to answer once the program is going away.
  if (Quitting()) return false;
  int sound = 48;
  if (kind == kMessageError) sound = 16;
  if (kind == kMessageInformation) sound = 64;
  if (kind == kMessageConfirmation) sound = 32;
  if (dialogs.beep) dialogs.beep(sound);
  return dialogs.message ? dialogs.message(text, caption, yesNo, kind) : false;
}

QNetworkRequest TfrmWeb::Request(const QString& path) const {
  QUrl url(serviceAddress);
  url.setPath(path);
  QNetworkRequest request(url);
  request.setRawHeader("Accept", "text/html, */*");
  request.setHeader(QNetworkRequest::UserAgentHeader, "Mozilla/3.0 (compatible; Indy Library)");
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Automatic);
  request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Automatic);
  request.setTransferTimeout(timeoutMs);
  return request;
}

TfrmWeb::Reply TfrmWeb::Get(const QString& path) {
  if (Quitting()) return {false, {}, "The program is closing."};
  // The version service answers a line; anything near this size is no such answer.
  constexpr qint64 kMaxVersionReply = 64 * 1024;
  return Wait(http_->get(Request(path)), kMaxVersionReply);
}

TfrmWeb::Reply TfrmWeb::Wait(QNetworkReply* reply, qint64 maxBytes) {
  running_ = reply;
  abortedByClose_ = false;
  tooLarge_ = false;
  QTimer deadline;
  if (maxBytes > 0) {
    // Watched as it arrives rather than capped with a read buffer: a capped buffer stalls a
    // redirect's connection, and the client then asks the first address again.
    auto outgrown = [this, reply, maxBytes] {
      const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
      if (reply->bytesAvailable() > maxBytes ||
          (length.isValid() && length.toLongLong() > maxBytes)) {
        tooLarge_ = true;
        reply->abort();
      }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, outgrown);
    connect(reply, &QNetworkReply::readyRead, this, outgrown);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline.start(timeoutMs);
  }
  if (!reply->isFinished()) {
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // The windows stay live meanwhile; the cursor says that something is under way.
    QApplication::setOverrideCursor(Qt::BusyCursor);
    // A quitting application ends every loop; the reply may still be open then.
    loop.exec();
    QApplication::restoreOverrideCursor();
  }
  Reply result;
  if (!reply->isFinished()) {
    // Only a quit ends the loop early; no more dialogs or requests after it.
    quitting_ = true;
    reply->abort();
    result.error = "The program is closing.";
  } else if (tooLarge_) {
    result.error = QString("The service sent more than %1 KiB, which is no version answer.")
                       .arg(maxBytes / 1024);
  } else if ((reply->error() == QNetworkReply::OperationCanceledError ||
              reply->error() == QNetworkReply::TimeoutError) &&
             !abortedByClose_ && !quitting_) {
    result.error =
        QString("The service did not answer within %1 seconds.").arg((timeoutMs + 999) / 1000);
  } else if (reply->error() != QNetworkReply::NoError) {
    result.error = reply->errorString();
  } else {
    result.ok = true;
    result.body = reply->readAll();
  }
  running_ = nullptr;
  reply->deleteLater();
  return result;
}

}  // namespace quendal
