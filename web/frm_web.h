#pragma once
// The web services: the check for a newer updater on the maker's service and the feedback
// form that posts to it. One HTTP client serves both; its requests wait on this thread in a
// local event loop, so the windows stay live while the service answers.
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quendal {

class DiagnosticLog;

// Every dialog of the web services goes through one of these, so tests can answer them.
struct WebDialogs {
  // Shows a message with OK, or Yes and No (yesNo); true when the operator chose Yes.
  std::function<bool(const QString& text, const QString& caption, bool yesNo, int kind)> message;
  std::function<void(int sound)> beep;
  // The file to send, chosen in `folder`, or "" for cancel.
  std::function<QString(const QString& folder)> chooseFile;
  // Opens the address in the web browser; false when that failed.
  std::function<bool(const QUrl& address)> openBrowser;
};

// The icon of a message kind (kMessageWarning ...), for both windows' message boxes.
QMessageBox::Icon MessageKindIcon(int kind);
// The system sound of a message of that kind; the one beep where a system has no others.
void SystemBeep(int sound);

// The organisation the preferences are kept under: the maker's, unless the application
// names another (the tests do, so that they never touch an operator's own preferences).
QString PreferencesOrganisation();

// The service as scheme and host[:port]: QUENDAL_WEB_SERVICE in the environment, else
// "WebService" in the preferences, else the build's default.
QString WebServiceAddress();
// The support address feedback goes to when the operator names no representative:
// "FeedbackRecipient" in the preferences, else the build's default.
QString DefaultFeedbackRecipient();

// What the version service's document says.
struct VersionReply {
  std::int32_t code = 0;  // 0, or -1002 when the text could not be read
  std::int32_t version = 0;
  QString address;
};
VersionReply ParseVersionReply(const QString& text);

// The operating system as the feedback names it. `platform` is 1 for the 9x line and 2 for
// NT; other systems describe themselves through ComputerDescription().
QString WindowsDescription(int platform, int major, int minor, int build,
                           const QString& servicePack);
QString ComputerDescription();

class TfrmWeb : public QDialog {
 public:
  static constexpr std::int32_t kConnectError = -1001;
  static constexpr std::int32_t kParseError = -1002;
  static constexpr std::int32_t kSendError = -1000;
  static constexpr qint64 kMaxSendFile = 8388608;
  static constexpr qint64 kProgressThreshold = 2097152;
  static constexpr int kMaxDescription = 2048;

  explicit TfrmWeb(QWidget* parent = nullptr);
  ~TfrmWeb() override;

  WebDialogs dialogs;  // defaults show real dialogs
  DiagnosticLog* log = nullptr;
  QString serviceAddress;  // WebServiceAddress() at construction
  int timeoutMs = 30000;   // a silent service ends as a client error after this long

  // Set by the opener before the form is shown.
  QString product;
  QString version;
  QString registeredName;
  QString registeredCompany;
  QString defaultRecipient;
  QString attachment1;
  QString attachment2;
  QString attachment3;
  QString browseFolder;

  QString feedbackTypeName = "General Feedback";
  QString rememberedRecipient;
  QString lastSendError;
  bool transferInProgress = false;

  // The service's version, or 0 after a failure or when there was nothing to check.
  std::int32_t CheckVersion(std::uint32_t currentVersion, const QString& versionFinderPath,
                            bool quiet, const QString& title);
  // kind: a MessageKind; true when the operator chose Yes.
  bool ShowWebMessage(const QString& text, const QString& caption, bool yesNo, int kind);
  // Asks the service for its front page and shows the form when it answers.
  bool OpenCheck();
  // A request is running: nothing else may start one.
  bool Busy() const { return busy_; }
  // Runs the action now, or once the operation whose request is waiting has ended.
  void WhenIdle(std::function<void()> action);

  void FormShow();
  void btnSendClick();
  void btnSendFileClick();
  void cbFeedbackTypeChange(int index);
  void HTTPWorkBegin(qint64 expected);
  void HTTPWork(qint64 sent);
  void HTTPWorkEnd();
  void FormClose();
  // 1 sent, 0 the chosen file could not be attached, -1000 the service did not take it.
  std::int32_t Post();

  QLineEdit* edName = nullptr;
  QLineEdit* edCompany = nullptr;
  QLineEdit* edEmail = nullptr;
  QLineEdit* edTelephone = nullptr;
  QComboBox* cbFeedbackType = nullptr;
  QComboBox* cbRespondVia = nullptr;
  QLabel* lblDescription = nullptr;
  QPlainTextEdit* reDescription = nullptr;
  QLineEdit* edSendFile = nullptr;
  QPushButton* btnSendFile = nullptr;
  QLineEdit* edEmailTo = nullptr;
  QProgressBar* pbWeb = nullptr;
  QPushButton* btnSend = nullptr;

  // The chosen file with its folder; edSendFile shows only its name.
  QString sendFilePath;

 protected:
  void showEvent(QShowEvent* event) override;
  // Every way the form goes away (close, Escape) ends here.
  void reject() override;

 private:
  struct Reply {
    bool ok = false;
    QByteArray body;
    QString error;
  };

  void BuildControls();
  QNetworkRequest Request(const QString& path) const;
  Reply Get(const QString& path);
  // `maxBytes` > 0 bounds the reply and gives the whole exchange a deadline of timeoutMs,
  // so neither a huge reply nor one that trickles can hold the check.
  Reply Wait(QNetworkReply* reply, qint64 maxBytes = 0);
  bool Quitting() const;
  void OpenAddress(const QString& address, const QString& title);
  void Log(const QString& text);
  void RunIdleActionsLater();
  // Every operation that may wait for the service ends here, whichever way it returns.
  struct OperationEnd {
    TfrmWeb* form;
    ~OperationEnd() { form->RunIdleActionsLater(); }
  };

  QNetworkAccessManager* http_ = nullptr;
  QPointer<QNetworkReply> running_;
  bool busy_ = false;
  bool quitting_ = false;
  bool abortedByClose_ = false;
  bool tooLarge_ = false;  // the running reply outgrew its bound
  bool workBegun_ = false;
  std::vector<std::function<void()>> idleActions_;
};

}  // namespace quendal
