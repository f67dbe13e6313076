#pragma once
// What the tests of the version check and of the feedback form share: a local service, a
// fresh folder and preferences for each case, and the form's dialogs answered and recorded.
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "app/engine/operator_interface.h"
#include "app/gui/frm_main.h"
#include "host/diagnostic_log.h"
#include "tests/web/test_server.h"
#include "web/frm_web.h"

using namespace quendal;
using quendal::test::FormPart;
using quendal::test::ReadMultipart;
using quendal::test::TestServer;

constexpr const char* kPath = "/versionfinder/Lurra-Firmware.txt";
constexpr const char* kTitle = "Lurra Family Firmware Updater";

struct Shown {
  QString caption;
  QString text;
  bool yesNo;
  int kind;
};

inline QSettings Remembered() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                   "FeedbackForm");
}

inline QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// A port on which nothing listens.
inline int ClosedPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost);
  const int port = probe.serverPort();
  probe.close();
  return port;
}

// Counts the times a widget appeared.
class ShowCounter : public QObject {
 public:
  int shown = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show) ++shown;
    return false;
  }
};

class WebFixture : public QObject {
  Q_OBJECT

 protected:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<TestServer> server_;
  std::unique_ptr<DiagnosticLog> log_;
  std::vector<Shown> shown_;
  std::vector<int> beeps_;
  std::vector<QUrl> opened_;
  bool answerYes_ = false;
  bool browserWorks_ = true;
  QString chosenFile_;

  QString Path(const QString& name) const { return dir_->filePath(name); }

  std::unique_ptr<TfrmWeb> Form(const QString& service = {}) {
    auto form = std::make_unique<TfrmWeb>();
    form->serviceAddress = service.isEmpty() ? Q(server_->Address()) : service;
    form->log = log_.get();
    Answer(form.get());
    form->product = kTitle;
    form->version = "Lurra 3.96";
    form->defaultRecipient = "support@orvelle.example";
    return form;
  }

  void Answer(TfrmWeb* form) {
    form->dialogs.message = [this](const QString& text, const QString& caption, bool yesNo,
                                   int kind) {
      shown_.push_back({caption, text, yesNo, kind});
      return yesNo && answerYes_;
    };
    form->dialogs.beep = [this](int sound) { beeps_.push_back(sound); };
    form->dialogs.openBrowser = [this](const QUrl& url) {
      opened_.push_back(url);
      return browserWorks_;
    };
    form->dialogs.chooseFile = [this](const QString&) { return chosenFile_; };
  }

  QString WriteFile(const QString& name, const QByteArray& content) {
    QFile file(Path(name));
    if (!file.open(QIODevice::WriteOnly)) return {};
    file.write(content);
    return file.fileName();
  }

  QString LogText() const {
    QFile file(Q(log_->Path()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  // Fills the form so that every check passes.
  static void FillValid(TfrmWeb* form) {
    form->edName->setText("Ada Field");
    form->edCompany->setText("Field Works");
    form->edEmail->setText("ada@field.example");
    form->edTelephone->setText("555 0100");
    form->edEmailTo->clear();
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Path("config"));
    // On Windows the path moves nothing: the preferences are registry keys, of an
    // organisation of the tests' own, emptied before each case.
    QCoreApplication::setOrganizationName("Quendal Web Tests");
    for (const char* application : {"Quendal", "FeedbackForm"}) {
      QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                application)
          .clear();
    }
    server_ = std::make_unique<TestServer>();
    log_ = std::make_unique<DiagnosticLog>(Path("web.errors.txt").toUtf8().constData(), 30);
    shown_.clear();
    beeps_.clear();
    opened_.clear();
    answerYes_ = false;
    browserWorks_ = true;
    chosenFile_.clear();
  }

  void cleanup() { server_.reset(); }
  void cleanupTestCase() {
    QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation()).clear();
  }
};
