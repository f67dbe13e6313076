// The feedback form: its controls, what it remembers of the operator, the checks before a
// send and the multipart post with the attached files.
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHttpMultiPart>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QOperatingSystemVersion>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>
#include <QSysInfo>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "host/message_kind.h"
#include "web/frm_web.h"

namespace quendal {
namespace {

constexpr const char* kFeedbackPath = "/php-bin/app_feedback.php";

// "...\FeedbackForm" under the preferences' organisation on Windows.
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

}  // namespace

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
