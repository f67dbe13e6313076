#include "web/frm_web.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHttpMultiPart>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QOperatingSystemVersion>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>
#include <QSysInfo>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

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
#include "web/version_reply.h"

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
constexpr const char* kFeedbackPath = "/php-bin/app_feedback.php";

// "Software\Orvelle Devices, Inc\Quendal" and "...\FeedbackForm" on Windows; the
// platform's own place elsewhere.
QSettings Preferences() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                   "Quendal");
}
QSettings FeedbackSettings() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                   "FeedbackForm");
}

// Attribute values of a part header: quotes and line breaks would end the header early.
QString HeaderValue(QString text) {
  text.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");
  return text;
}

const char* const kFeedbackTypes[] = {"General Feedback", "Feature Suggestion", "Bug Report",
                                      "Other"};
const char* const kRespondVia[] = {"No response necessary", "Email", "Telephone (morning is best)",
                                   "Telephone (mid day is best)", "Telephone (afternoon is best)"};

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

static_assert(TfrmWeb::kParseError == kVersionReplyUnreadable);

VersionReply ParseVersionReply(const QString& text) {
  const VersionText parsed = ParseVersionText(text.toUtf8().toStdString());
  VersionReply reply;
  reply.code = parsed.code;
  reply.version = parsed.version;
  reply.address = QString::fromStdString(parsed.address);
  return reply;
}

QString WindowsDescription(int platform, int major, int minor, int build,
                           const QString& servicePack) {
  QString name;
  if (platform == 1) {
    if (major == 4) {
      if (minor == 0) name = "Windows 95 ";
      if (minor == 10) name = "Windows 98 ";
      if (minor == 90) name = "Windows ME ";
    } else {
      name = "Unknown Win32 ";
    }
    build &= 0xFFFF;
  } else if (platform == 2) {
    if (major == 5) {
      if (minor == 0) name = "Windows 2000 ";
      if (minor == 1) name = "Windows XP ";
      if (minor == 2) name = "Windows Server 2003 ";
    } else if (major == 6) {
      name = "Windows Vista ";
    } else if (major > 6) {
      name = "Unknown WinNT ";
    } else {
      name = QString("Windows NT %1.%2 ").arg(major).arg(minor);
    }
  } else {
    name = "Unknown Windows Platform ";
  }
  return name + servicePack + QString(" (Version %1.%2 build %3)").arg(major).arg(minor).arg(build);
}

QString ComputerDescription() {
#ifdef Q_OS_WIN
  const QOperatingSystemVersion os = QOperatingSystemVersion::current();
  return WindowsDescription(2, os.majorVersion(), os.minorVersion(), os.microVersion(), "");
#else
  return QSysInfo::prettyProductName() + " (Version " + QSysInfo::productVersion() + " " +
         QSysInfo::kernelType() + " " + QSysInfo::kernelVersion() + ")";
#endif
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

void TfrmWeb::BuildControls() {
  auto labelled = [this](QGridLayout* grid, int row, int column, const char* caption,
                         QWidget* field) {
    auto* label = new QLabel(caption, this);
    label->setBuddy(field);
    grid->addWidget(label, row, column);
    grid->addWidget(field, row + 1, column);
  };
  edName = new QLineEdit(this);
  edCompany = new QLineEdit(this);
  edEmail = new QLineEdit(this);
  edTelephone = new QLineEdit(this);
  cbFeedbackType = new QComboBox(this);
  for (const char* item : kFeedbackTypes) cbFeedbackType->addItem(item);
  cbRespondVia = new QComboBox(this);
  for (const char* item : kRespondVia) cbRespondVia->addItem(item);
  connect(cbFeedbackType, &QComboBox::currentIndexChanged, this, &TfrmWeb::cbFeedbackTypeChange);

  auto* grid = new QGridLayout;
  labelled(grid, 0, 0, "Name (required)", edName);
  labelled(grid, 0, 1, "Company Name", edCompany);
  labelled(grid, 2, 0, "Email Address", edEmail);
  labelled(grid, 2, 1, "Telephone (include area code)", edTelephone);
  labelled(grid, 4, 0, "Type of feedback", cbFeedbackType);
  labelled(grid, 4, 1, "Please respond via", cbRespondVia);

  lblDescription = new QLabel("Please describe the feedback below", this);
  reDescription = new QPlainTextEdit(this);
  reDescription->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  connect(reDescription, &QPlainTextEdit::textChanged, this, [this] {
    const QString text = reDescription->toPlainText();
    if (text.size() <= kMaxDescription) return;
    QSignalBlocker quiet(reDescription);
    reDescription->setPlainText(text.left(kMaxDescription));
    reDescription->moveCursor(QTextCursor::End);
  });

  auto* sendFileLabel = new QLabel("Send the following file (file size can be up to 8 MB):", this);
  edSendFile = new QLineEdit(this);
  edSendFile->setReadOnly(true);
  btnSendFile = new QPushButton("...", this);
  btnSendFile->setFixedWidth(28);
  btnSendFile->setToolTip("Choose a file to send with your feedback.");
  connect(btnSendFile, &QPushButton::clicked, this, &TfrmWeb::btnSendFileClick);
  auto* fileRow = new QHBoxLayout;
  fileRow->addWidget(edSendFile, 1);
  fileRow->addWidget(btnSendFile);

  auto* emailToLabel =
      new QLabel("Send the feedback to my Orvelle Representative's email address:", this);
  emailToLabel->setWordWrap(true);
  edEmailTo = new QLineEdit(this);
  edEmailTo->setToolTip("For example: representative@example.com");

  pbWeb = new QProgressBar(this);
  pbWeb->setTextVisible(false);
  pbWeb->hide();
  btnSend = new QPushButton("Send", this);
  btnSend->setDefault(true);
  btnSend->setAutoDefault(true);
  // With the progress bar hidden the button would otherwise take the whole row.
  btnSend->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(btnSend, &QPushButton::clicked, this, &TfrmWeb::btnSendClick);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(pbWeb, 1);
  bottom->addWidget(btnSend);

  // The component names, so that focus and tests can find the fields.
  const std::pair<QWidget*, const char*> names[] = {{edName, "edName"},
                                                    {edCompany, "edCompany"},
                                                    {edEmail, "edEmail"},
                                                    {edTelephone, "edTelephone"},
                                                    {cbFeedbackType, "cbFeedbackType"},
                                                    {cbRespondVia, "cbRespondVia"},
                                                    {lblDescription, "lblDescription"},
                                                    {reDescription, "reDescription"},
                                                    {edSendFile, "edSendFile"},
                                                    {btnSendFile, "btnSendFile"},
                                                    {edEmailTo, "edEmailTo"},
                                                    {pbWeb, "pbWeb"},
                                                    {btnSend, "btnSend"}};
  for (const auto& [widget, name] : names) widget->setObjectName(name);

  auto* all = new QVBoxLayout(this);
  all->addLayout(grid);
  all->addWidget(lblDescription);
  all->addWidget(reDescription, 1);
  all->addWidget(sendFileLabel);
  all->addLayout(fileRow);
  all->addWidget(emailToLabel);
  all->addWidget(edEmailTo);
  all->addLayout(bottom);
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

std::int32_t TfrmWeb::CheckVersion(std::uint32_t currentVersion, const QString& versionFinderPath,
                                   bool quiet, const QString& title) {
  if (versionFinderPath.isEmpty() || currentVersion == 0) return 0;
  // A check already waiting answers for both.
  if (busy_ || Quitting()) return 0;
  OperationEnd end{this};
  busy_ = true;
  const Reply reply = Get(versionFinderPath);
  busy_ = false;

  VersionReply parsed;
  QString text;
  if (!reply.ok) {
    parsed.code = kConnectError;
    text = QString("Error connecting to Orvelle's version check service.\n") +
           "This feature requires your computer to be connected \n" + "to the internet.\n" +
           "\n\nPlease make a connection to the internet and try again.";
    if (!reply.error.isEmpty()) text += "\n\nError: " + reply.error;
  } else {
    parsed = ParseVersionReply(QString::fromUtf8(reply.body));
    if (parsed.code < 0) {
      text = QString("Error parsing the version information returned by \n") +
             "Orvelle's version check service.\n" + "[error " + QString::number(parsed.code) + "]" +
             "\n\nPlease try again or contact Orvelle for help.";
    }
  }
  if (parsed.code < 0) {
    Log(QString("Version check of %1 failed (%2): %3")
            .arg(versionFinderPath)
            .arg(parsed.code)
            .arg(reply.ok ? QString::fromUtf8(reply.body.left(200)) : reply.error));
    if (!quiet) ShowWebMessage(text, "Version Check Error", false, kMessageError);
    return 0;
  }

  const qint64 mine = currentVersion;
  if (mine < parsed.version) {
    const bool download = parsed.address.contains(".exe");
    if (download) {
      text = "There is newer version of " + title + " available for download." +
             "\n\nWould you like to download this new version with your web browser now?";
    } else {
      text = "There is information about a newer version of " + title + "\navailable at " +
             parsed.address + "\n\nWould you like to visit this page with your web browser now?";
    }
    if (ShowWebMessage(text, "New Version Available", true, kMessageInformation)) {
      OpenAddress(parsed.address, title);
    }
  } else if (mine == parsed.version && !quiet) {
    ShowWebMessage("You are using the latest version of " + title + ".", "Version Finder", false,
                   kMessageInformation);
  } else if (mine > parsed.version && !quiet) {
    ShowWebMessage("You are running a newer version of " + title +
                       "\nthan is available from Orvelle's web site.",
                   "Version Finder", false, kMessageInformation);
  }
  return parsed.version;
}

void TfrmWeb::OpenAddress(const QString& address, const QString& title) {
  // Whatever the service says, only a web page may reach the browser: a "file:" or script
  // address would run on this computer.
  const QUrl url(address, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != "http" && scheme != "https") || url.host().isEmpty()) {
    Log("Refused to open a version address that is no web address: " + address);
    ShowWebMessage(title + " only opens web (http or https) addresses in your web browser.\n" +
                       "The version check service gave this address:\n" + address,
                   "Web Browser Launch Error", false, kMessageWarning);
    return;
  }
  if (dialogs.openBrowser && dialogs.openBrowser(url)) return;
  Log("The web browser could not be launched for " + address);
  ShowWebMessage(title + " had trouble launching your web browser.\n" +
                     "Please try manually going to:\n" + address,
                 "Web Browser Launch Error", false, kMessageWarning);
}

bool TfrmWeb::OpenCheck() {
  if (busy_ || Quitting()) return false;
  OperationEnd end{this};
  busy_ = true;
  const Reply reply = Get("/");
  busy_ = false;
  if (!reply.ok) {
    QString text =
        QString("Error connecting to Orvelle's customer feedback internet service.\n\n") +
        "This feature requires your computer to be connected to the internet\n" +
        "and be able to contact Orvelle's Web Site (" + QUrl(serviceAddress).host() + ")." +
        "\n\nPlease make a connection to the internet and try again.";
    if (!reply.error.isEmpty()) text += "\n\nError: " + reply.error;
    Log("The feedback service could not be reached: " + reply.error);
    ShowWebMessage(text, "Internet Access Error", false, kMessageError);
    return false;
  }
  show();
  raise();
  activateWindow();
  return true;
}

void TfrmWeb::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TfrmWeb::FormShow() {
  {
    QSettings remembered = FeedbackSettings();
    auto read = [&remembered](const char* name) {
      return remembered.contains(name) ? remembered.value(name).toString() : QString();
    };
    edName->setText(read("Name"));
    edCompany->setText(read("Company"));
    edTelephone->setText(read("Phone"));
    edEmail->setText(read("Email"));
    rememberedRecipient = read("EmailTo");
  }
  if (!registeredName.isEmpty()) edName->setText(registeredName);
  if (!registeredCompany.isEmpty()) edCompany->setText(registeredCompany);
  edEmailTo->setText(rememberedRecipient);
  edSendFile->clear();
  sendFilePath.clear();
  reDescription->clear();
  cbRespondVia->setCurrentIndex(1);
  {
    QSignalBlocker quiet(cbFeedbackType);
    cbFeedbackType->setCurrentIndex(0);
  }
  cbFeedbackTypeChange(0);
  pbWeb->hide();
  transferInProgress = false;
}

void TfrmWeb::cbFeedbackTypeChange(int index) {
  static const char* const kLabels[] = {
      "Please describe the feedback below", "Please describe the feature suggestion below",
      "Please describe the bug or issue below", "Please describe the other feedback below"};
  static const char* const kNames[] = {"General Feedback", "Feature Suggestion", "Bug Report",
                                       "Other Feedback"};
  if (index < 0 || index > 3) index = 0;
  feedbackTypeName = kNames[index];
  lblDescription->setText(kLabels[index]);
}

void TfrmWeb::btnSendFileClick() {
  edSendFile->clear();
  sendFilePath.clear();
  const QString path = dialogs.chooseFile ? dialogs.chooseFile(browseFolder) : QString();
  if (path.isEmpty()) return;
  QFile file(path);
  const QString name = QFileInfo(path).fileName();
  if (!file.open(QIODevice::ReadOnly)) {
    Log("Could not open the file to send " + path + ": " + file.errorString());
    ShowWebMessage("Cannot open file \"" + path + "\". " + file.errorString(), "Error", false,
                   kMessageError);
    return;
  }
  const qint64 size = file.size();
  if (size <= kMaxSendFile) {
    edSendFile->setText(name);
    sendFilePath = path;
    return;
  }
  ShowWebMessage("The file \"" + name + "\" is too big.\n\n" +
                     "The maximun file size you can send with your feedback\n" +
                     "is 8 megabytes (this file is " +
                     QString::number(static_cast<double>(size) / 1048576.0, 'f', 1) + " MB)." +
                     "\n\nPlease choose a different file to send.",
                 "File Size Error", false, kMessageError);
}

void TfrmWeb::btnSendClick() {
  if (busy_) return;
  OperationEnd end{this};
  lastSendError.clear();
  auto refuse = [this](const QString& text, const QString& caption, QLineEdit* field) {
    ShowWebMessage(text, caption, false, kMessageWarning);
    // The operator goes on typing into the field the message named, in this form.
    activateWindow();
    field->setFocus();
  };
  const QString email = edEmail->text();
  if (edName->text().isEmpty()) {
    return refuse("Please enter your name in the name field", "Missing Information", edName);
  }
  if (email.isEmpty() && edTelephone->text().isEmpty() && cbRespondVia->currentIndex() != 0) {
    return refuse(QString("Please enter your phone number or email address so Orvelle ") +
                      "can respond to your feedback.",
                  "Missing Information", edTelephone);
  }
  if (!edEmailTo->text().isEmpty() && !edEmailTo->text().contains('@')) {
    return refuse(QString("The email address you entered for your Orvelle\n") +
                      "Representative isn't complete.\n\n" +
                      "Please enter a complete email address including\n" +
                      "the '@' symbol and domain name.",
                  "Bad Email Address", edEmailTo);
  }
  if (!email.isEmpty() && (!email.contains('@') || email.contains(' '))) {
    QString text = QString("The email address you entered doesn't seem to be correct.\n\n") +
                   "Please enter a complete email address including\n" +
                   "the '@' symbol and domain name.";
    if (email.contains(' ')) text += "\n\nPlease remove any space characters in the email address.";
    return refuse(text, "Bad Email Address", edEmail);
  }

  btnSend->setEnabled(false);
  btnSendFile->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  {
    QSettings remembered = FeedbackSettings();
    remembered.setValue("Name", edName->text());
    remembered.setValue("Company", edCompany->text());
    remembered.setValue("Phone", edTelephone->text());
    remembered.setValue("Email", email);
    remembered.setValue("EmailTo", edEmailTo->text());
    remembered.sync();
  }
  const std::int32_t result = Post();
  btnSend->setEnabled(true);
  btnSendFile->setEnabled(true);
  QApplication::restoreOverrideCursor();

  if (result == 1) {
    hide();
    QCoreApplication::processEvents();
    ShowWebMessage("Thank you for submitting your " + feedbackTypeName + ".",
                   "Feedback Successfully Sent", false, kMessageInformation);
    close();
  } else if (result == kSendError && isVisible()) {
    QString text = "There was an error trying to send your " + feedbackTypeName +
                   " to Orvelle.\n\nPlease try again.";
    if (!lastSendError.isEmpty()) text += "\n\nError: " + lastSendError;
    ShowWebMessage(text, "Error Sending Feedback", false, kMessageWarning);
  }
}

std::int32_t TfrmWeb::Post() {
  if (busy_) return kSendError;
  if (Quitting()) {
    lastSendError = "The program is closing.";
    return kSendError;
  }
  const int respondVia = cbRespondVia->currentIndex();
  const QString emailTo = edEmailTo->text().isEmpty() ? defaultRecipient : edEmailTo->text();
  const std::pair<const char*, QString> fields[] = {
      {"EmailTo", emailTo},
      {"EmailSubject", product + " " + feedbackTypeName},
      {"Name", edName->text()},
      {"Company Name", edCompany->text()},
      {"Email", edEmail->text()},
      {"Telephone", edTelephone->text()},
      {"Respond Via", respondVia >= 0 && respondVia <= 4 ? QString(kRespondVia[respondVia])
                                                         : QString("Unknown RespondVia")},
      {"Registered Name", registeredName},
      {"Registered Company", registeredCompany},
      {"Software Version", product + " version " + version},
      {"Installation Path", QCoreApplication::applicationFilePath()},
      {"Computer Information", ComputerDescription()},
      {"Feedback", reDescription->toPlainText()},
  };
  auto* body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
  for (const auto& [name, value] : fields) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QString("form-data; name=\"%1\"").arg(name));
    part.setBody(value.toUtf8());
    body->append(part);
  }

  // Attaches one file; returns the system's words for why it could not.
  QMimeDatabase types;
  auto attach = [&](const QString& path) -> QString {
    const QFileInfo info(path);
    auto* file = new QFile(path, body);
    if (!info.exists() || !file->open(QIODevice::ReadOnly)) {
      const QString why = info.exists() ? file->errorString()
                                        : QString("The system cannot find the file specified.");
      delete file;
      return why.isEmpty() ? QString("The file could not be opened.") : why;
    }
    const QString name = HeaderValue(info.fileName());
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentTypeHeader,
                   types.mimeTypeForFile(info, QMimeDatabase::MatchExtension).name());
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QString("form-data; name=\"%1\"; filename=\"%1\"").arg(name));
    part.setBodyDevice(file);
    body->append(part);
    return {};
  };
  for (const QString* attachment : {&attachment1, &attachment2, &attachment3}) {
    if (attachment->isEmpty()) continue;
    const QString why = attach(*attachment);
    if (!why.isEmpty()) Log("Left out of the feedback: " + *attachment + ": " + why);
  }
  if (!edSendFile->text().isEmpty()) {
    const QString why = attach(sendFilePath);
    if (!why.isEmpty()) {
      delete body;
      const QString name = QFileInfo(sendFilePath).fileName();
      QString text = "Error sending the file \"" + name + "\". ";
      if (why.contains("cannot find the file")) {
        text += QString("\nThe file is empty or can't be found on the system.") +
                "\n\nPlease check your file name and try again.";
      } else if (why.contains("used by another process")) {
        text += QString("\nThe file is open and in use with another application.") +
                "\n\nPlease close the file and try again.";
      } else {
        text += "\n\nPlease try again.";
        if (!why.isEmpty()) text += "\n\nError: " + why;
      }
      Log("The file to send could not be read: " + sendFilePath + ": " + why);
      ShowWebMessage(text, "Error Reading File", false, kMessageError);
      return 0;
    }
  }

  busy_ = true;
  workBegun_ = false;
  transferInProgress = true;
  QNetworkReply* reply = http_->post(Request(kFeedbackPath), body);
  body->setParent(reply);
  connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 total) {
    if (!workBegun_) {
      workBegun_ = true;
      HTTPWorkBegin(total);
    }
    HTTPWork(sent);
  });
  const Reply answer = Wait(reply);
  HTTPWorkEnd();
  busy_ = false;
  if (!answer.ok) {
    lastSendError = answer.error;
    Log("Feedback was not sent: " + answer.error);
    return kSendError;
  }
  if (answer.body.contains("Script Completed")) return 1;
  Log("The feedback service answered: " + QString::fromUtf8(answer.body.left(200)));
  return kSendError;
}

void TfrmWeb::HTTPWorkBegin(qint64 expected) {
  if (expected > kProgressThreshold) pbWeb->show();
  pbWeb->setMaximum(static_cast<int>(std::min<qint64>(expected, std::numeric_limits<int>::max())));
  transferInProgress = true;
}

void TfrmWeb::HTTPWork(qint64 sent) {
  pbWeb->setValue(static_cast<int>(std::min<qint64>(sent, pbWeb->maximum())));
}

void TfrmWeb::HTTPWorkEnd() {
  pbWeb->hide();
  transferInProgress = false;
}

void TfrmWeb::reject() {
  FormClose();
  QDialog::reject();
}

void TfrmWeb::FormClose() {
  if (transferInProgress && running_) {
    abortedByClose_ = true;
    running_->abort();
  }
}

}  // namespace quendal
