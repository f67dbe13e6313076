// The web services against a local service: the version check in both modes, the address
// rule, the client's headers, and the feedback form from its checks to the posted body.
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

namespace {

constexpr const char* kPath = "/versionfinder/Lurra-Firmware.txt";
constexpr const char* kTitle = "Lurra Family Firmware Updater";

struct Shown {
  QString caption;
  QString text;
  bool yesNo;
  int kind;
};

QSettings Remembered() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                   "FeedbackForm");
}

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// A port on which nothing listens.
int ClosedPort() {
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

}  // namespace

class FrmWebTest : public QObject {
  Q_OBJECT

 private:
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

  // --- version check ---

  void versionReplies_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("caption");  // "" : nothing shown
    QTest::addColumn<QString>("text");
    const QString download =
        QString("There is newer version of ") + kTitle + " available for download." +
        "\n\nWould you like to download this new version with your web browser now?";
    const QString page = QString("There is information about a newer version of ") + kTitle +
                         "\navailable at http://x.example/news" +
                         "\n\nWould you like to visit this page with your web browser now?";
    const QString latest = QString("You are using the latest version of ") + kTitle + ".";
    const QString older = QString("You are running a newer version of ") + kTitle +
                          "\nthan is available from Orvelle's web site.";
    const QString parse = QString("Error parsing the version information returned by \n") +
                          "Orvelle's version check service.\n[error -1002]" +
                          "\n\nPlease try again or contact Orvelle for help.";
    const QString exe = "3.97 http://x.example/get/Lurra.exe\r\n";
    QTest::newRow("dotted, quiet asks")
        << exe << 396 << true << 397 << "New Version Available" << download;
    QTest::newRow("dotted, menu asks")
        << exe << 396 << false << 397 << "New Version Available" << download;
    QTest::newRow("three digits, page") << "397 http://x.example/news  \n"
                                        << 396 << false << 397 << "New Version Available" << page;
    QTest::newRow("one digit is hundreds")
        << "3 http://x.example/a.exe" << 396 << false << 300 << "Version Finder" << older;
    QTest::newRow("older, quiet") << "3 http://x.example/a.exe" << 396 << true << 300 << ""
                                  << "";
    QTest::newRow("fraction above ten") << "39.7 http://x.example/a.exe" << 396 << true << 3970
                                        << "New Version Available" << download;
    QTest::newRow("four") << "4\thttp://x.example/a.exe" << 396 << true << 400
                          << "New Version Available" << download;
    QTest::newRow("equal, menu") << exe << 397 << false << 397 << "Version Finder" << latest;
    QTest::newRow("equal, quiet") << exe << 397 << true << 397 << ""
                                  << "";
    QTest::newRow("no address, menu")
        << "3.97 ftp://x.example/a" << 396 << false << 0 << "Version Check Error" << parse;
    QTest::newRow("no address, quiet") << "3.97 ftp://x.example/a" << 396 << true << 0 << ""
                                       << "";
    QTest::newRow("no number") << "new http://x.example/a.exe" << 396 << false << 0
                               << "Version Check Error" << parse;
    QTest::newRow("nothing before")
        << "http://x.example/a.exe" << 396 << false << 0 << "Version Check Error" << parse;
  }

  void versionReplies() {
    QFETCH(QString, reply);
    QFETCH(int, current);
    QFETCH(bool, quiet);
    QFETCH(int, result);
    QFETCH(QString, caption);
    QFETCH(QString, text);
    server_->SetDocument(kPath, reply.toStdString());
    auto form = Form();
    QCOMPARE(form->CheckVersion(current, kPath, quiet, kTitle), result);
    QVERIFY(opened_.empty());  // every question was answered No
    QVERIFY(!form->isVisible());
    if (caption.isEmpty()) {
      QCOMPARE(shown_.size(), size_t{0});
      QVERIFY(beeps_.empty());
      return;
    }
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, caption);
    QCOMPARE(shown_[0].text, text);
    const bool question = caption == "New Version Available";
    const bool error = caption == "Version Check Error";
    QCOMPARE(shown_[0].yesNo, question);
    QCOMPARE(shown_[0].kind, int{error ? kMessageError : kMessageInformation});
    QCOMPARE(beeps_, std::vector<int>{error ? 16 : 64});
  }

  void nothingToCheck() {
    auto form = Form();
    QCOMPARE(form->CheckVersion(396, "", false, kTitle), 0);
    QCOMPARE(form->CheckVersion(0, kPath, false, kTitle), 0);
    QVERIFY(shown_.empty());
    QVERIFY(server_->Requests().empty());
  }

  void unreachableService() {
    const QString connect = QString("Error connecting to Orvelle's version check service.\n") +
                            "This feature requires your computer to be connected \n" +
                            "to the internet.\n\n\nPlease make a connection to the internet " +
                            "and try again.\n\nError: ";
    // Refused: nothing said at start-up, the client's own words from the menu.
    auto refused = Form(QString("http://127.0.0.1:%1").arg(ClosedPort()));
    QCOMPARE(refused->CheckVersion(396, kPath, true, kTitle), 0);
    QVERIFY(shown_.empty());
    QCOMPARE(refused->CheckVersion(396, kPath, false, kTitle), 0);
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("Version Check Error"));
    QCOMPARE(shown_[0].text, connect + "Connection refused");
    QCOMPARE(shown_[0].kind, int{kMessageError});
    QVERIFY(LogText().contains("Connection refused"));

    // Silent: the wait ends as a failure of the client, not as a hang.
    server_->postDelayMs = 0;
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    auto slow = Form(QString("http://127.0.0.1:%1").arg(silent.serverPort()));
    slow->timeoutMs = 300;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(slow->CheckVersion(396, kPath, false, kTitle), 0);
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(shown_.size(), size_t{2});
    QVERIFY2(shown_[1].text.startsWith(connect) && shown_[1].text.size() > connect.size(),
             qPrintable(shown_[1].text));
  }

  // A reply of 100 MB and one that trickles a byte at a time both end the check with an
  // error: the reply is bounded, and the deadline covers the whole exchange.
  void boundedReplies() {
    struct Service {
      httplib::Server server;
      int port = -1;
      std::thread thread;
      explicit Service(bool trickle) {
        server.Get(kPath, [trickle](const httplib::Request&, httplib::Response& response) {
          if (trickle) {
            response.set_chunked_content_provider(
                "text/plain", [](std::size_t, httplib::DataSink& sink) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                  return sink.write("3", 1);
                });
            return;
          }
          response.set_content_provider(
              std::size_t{100} << 20, "text/plain",
              [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                static const std::string block(1 << 16, '9');
                (void)offset;
                return sink.write(block.data(), std::min(length, block.size()));
              });
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ~Service() {
        server.stop();
        thread.join();
      }
    };
    for (const bool trickle : {false, true}) {
      shown_.clear();
      Service service(trickle);
      auto form = Form(QString("http://127.0.0.1:%1").arg(service.port));
      form->timeoutMs = 1000;
      QCOMPARE(form->CheckVersion(396, kPath, false, kTitle), 0);
      QCOMPARE(shown_.size(), size_t{1});
      QCOMPARE(shown_[0].caption, QString("Version Check Error"));
      const QString says = trickle ? "did not answer within 1 seconds" : "more than 64 KiB";
      QVERIFY2(shown_[0].text.contains(says), qPrintable(shown_[0].text));
    }
  }

  void yesOpensOnlyWebAddresses_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("browserWorks");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QString>("caption");
    QTest::newRow("https download") << "https://x.example/Lurra.exe" << true << true << "";
    QTest::newRow("http page") << "http://x.example/news?a=1" << true << true << "";
    QTest::newRow("browser fails")
        << "http://x.example/news" << false << true << "Web Browser Launch Error";
    QTest::newRow("junk scheme") << "httpx://x.example/run.exe" << true << false
                                 << "Web Browser Launch Error";
    QTest::newRow("no host") << "http:/etc/passwd" << true << false << "Web Browser Launch Error";
  }

  void yesOpensOnlyWebAddresses() {
    QFETCH(QString, address);
    QFETCH(bool, browserWorks);
    QFETCH(bool, opened);
    QFETCH(QString, caption);
    server_->SetDocument(kPath, ("3.97 " + address).toStdString());
    answerYes_ = true;
    browserWorks_ = browserWorks;
    auto form = Form();
    QCOMPARE(form->CheckVersion(396, kPath, true, kTitle), 397);
    QCOMPARE(opened_.size(), size_t{opened ? 1u : 0u});
    if (opened) QCOMPARE(opened_[0], QUrl(address));
    QCOMPARE(shown_.size(), size_t{caption.isEmpty() ? 1u : 2u});
    if (caption.isEmpty()) return;
    QCOMPARE(shown_[1].caption, caption);
    QCOMPARE(shown_[1].kind, int{kMessageWarning});
    QVERIFY(shown_[1].text.contains(address));
    if (browserWorks) return;
    QCOMPARE(shown_[1].text, QString(kTitle) + " had trouble launching your web browser.\n" +
                                 "Please try manually going to:\n" + address);
  }

  void clientHeadersRedirectAndCookies() {
    server_->SetRedirect(kPath, "/moved.txt");
    server_->SetDocument("/moved.txt", "3.96 http://x.example/a.exe");
    auto form = Form();
    QCOMPARE(form->CheckVersion(396, kPath, false, kTitle), 396);
    QCOMPARE(form->CheckVersion(396, kPath, false, kTitle), 396);
    const auto seen = server_->Requests();
    // The client may send a request again over a fresh connection; four at least.
    QVERIFY(seen.size() >= 4);
    // The redirect is followed: the first request asks the service's address, and a later one
    // the address it moved to (Wine's sockets make the client re-send the first now and then).
    QCOMPARE(Q(seen[0].path), Q(kPath));
    const auto moved = std::find_if(seen.begin(), seen.end(),
                                    [](const auto& request) { return request.path == "/moved.txt"; });
    QVERIFY(moved != seen.end());
    for (const auto& request : seen) {
      QCOMPARE(Q(request.accept), QString("text/html, */*"));
      QCOMPARE(Q(request.userAgent), QString("Mozilla/3.0 (compatible; Indy Library)"));
    }
    // The cookie the service set comes back with the later requests.
    QVERIFY(seen[0].cookie.empty());
    QCOMPARE(Q(seen.back().cookie), QString("visit=42"));
  }

  void computerDescription_data() {
    QTest::addColumn<int>("platform");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("text");
    QTest::newRow("98") << 1 << 4 << 10 << 0x040A07CE << "Windows 98 SP (Version 4.10 build 1998)";
    QTest::newRow("9x other minor") << 1 << 4 << 3 << 950 << "SP (Version 4.3 build 950)";
    QTest::newRow("9x other major") << 1 << 5 << 0 << 1 << "Unknown Win32 SP (Version 5.0 build 1)";
    QTest::newRow("XP") << 2 << 5 << 1 << 2600 << "Windows XP SP (Version 5.1 build 2600)";
    QTest::newRow("2003") << 2 << 5 << 2 << 3790
                          << "Windows Server 2003 SP (Version 5.2 build 3790)";
    QTest::newRow("Vista") << 2 << 6 << 1 << 7601 << "Windows Vista SP (Version 6.1 build 7601)";
    QTest::newRow("later NT") << 2 << 10 << 0 << 19045
                              << "Unknown WinNT SP (Version 10.0 build 19045)";
    QTest::newRow("NT 4") << 2 << 4 << 0 << 1381 << "Windows NT 4.0 SP (Version 4.0 build 1381)";
    QTest::newRow("other") << 3 << 1 << 0 << 7
                           << "Unknown Windows Platform SP (Version 1.0 build 7)";
  }

  void computerDescription() {
    QFETCH(int, platform);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, build);
    QFETCH(QString, text);
    QCOMPARE(WindowsDescription(platform, major, minor, build, "SP"), text);
  }

  // An https address is used as https: the version comes over TLS from a service whose
  // certificate the system trusts, and a service it does not trust is refused, not read.
  void httpsService() {
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
    QSKIP("the test service is built without TLS");
#else
    if (!QSslSocket::supportsSsl()) QSKIP("no TLS backend");
    auto makeCertificate = [this](const QString& name) {
      const QString command =
          QString(
              "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
              "-addext subjectAltName=IP:127.0.0.1 -keyout '%1.key' -out '%1.pem' "
              ">/dev/null 2>&1")
              .arg(Path(name));
      return std::system(command.toUtf8().constData()) == 0;
    };
    if (!makeCertificate("trusted") || !makeCertificate("stranger")) {
      QSKIP("openssl cannot make a test certificate");
    }
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = before;
    trusting.addCaCertificates(QSslCertificate::fromPath(Path("trusted.pem")));
    QSslConfiguration::setDefaultConfiguration(trusting);

    struct Service {
      httplib::SSLServer server;
      int port = -1;
      std::thread thread;
      Service(const QString& certificate, const QString& key)
          : server(certificate.toUtf8().constData(), key.toUtf8().constData()) {
        server.Get(kPath, [](const httplib::Request&, httplib::Response& response) {
          response.set_content("3.97 https://x.example/Lurra.exe", "text/plain");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ~Service() {
        server.stop();
        thread.join();
      }
    };
    Service trusted(Path("trusted.pem"), Path("trusted.key"));
    Service stranger(Path("stranger.pem"), Path("stranger.key"));
    QVERIFY(trusted.server.is_valid() && stranger.server.is_valid());

    auto good = Form(QString("https://127.0.0.1:%1").arg(trusted.port));
    QCOMPARE(good->CheckVersion(397, kPath, false, kTitle), 397);
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("Version Finder"));

    auto bad = Form(QString("https://127.0.0.1:%1").arg(stranger.port));
    QCOMPARE(bad->CheckVersion(397, kPath, false, kTitle), 0);
    QCOMPARE(shown_.size(), size_t{2});
    QCOMPARE(shown_[1].caption, QString("Version Check Error"));
    QVERIFY2(shown_[1].text.contains("SSL", Qt::CaseInsensitive), qPrintable(shown_[1].text));
    QVERIFY(opened_.empty());
    QSslConfiguration::setDefaultConfiguration(before);
#endif
  }

  void serviceAddressSetting() {
    QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(), "Quendal")
        .setValue("WebService", "https://preferred.example");
    qputenv("QUENDAL_WEB_SERVICE", "http://127.0.0.1:8");
    QCOMPARE(WebServiceAddress(), QString("http://127.0.0.1:8"));
    qunsetenv("QUENDAL_WEB_SERVICE");
    QCOMPARE(WebServiceAddress(), QString("https://preferred.example"));
    QCOMPARE(TfrmWeb().serviceAddress, QString("https://preferred.example"));
  }

  // The main window's Help items and start-up timer reach the form with its own values.
  void mainWindowHooks() {
    for (const char* sub : {"data", "sys/class/tty", "dev", "sim"}) QDir().mkpath(Path(sub));
    WindowOptions options;
    options.dataFolder = Path("data").toStdString();
    options.portPlaces.sysfsRoot = Path("sys").toStdString();
    options.portPlaces.deviceFolder = Path("dev").toStdString();
    options.portPlaces.simulatorFolder = Path("sim").toStdString();
    TfrmMain window(options);
    window.dialogs.message = [](const QString&, const QString&, int) {};
    window.dialogs.beep = [](int) {};
    qputenv("QUENDAL_WEB_SERVICE", server_->Address().c_str());
    window.frmWeb = new TfrmWeb(&window);
    qunsetenv("QUENDAL_WEB_SERVICE");
    TfrmWeb* web = window.frmWeb;
    Answer(web);
    server_->getDelayMs = 1500;
    window.show();
    const UpdaterEngine* e = window.engine();
    const QString caption = Q(e->WindowCaption());
    QVERIFY(!e->versionFinderPath.empty());
    // The build's own image is the latest the service knows.
    server_->SetDocument(e->versionFinderPath,
                         VersionText(e->imageVersion) + " http://x.example/a.exe");

    // Start-up: once, quietly, under a busy cursor. The check chosen while it waits (twice)
    // runs once after it.
    bool busyCursor = false;
    int shownWhileWaiting = -1;
    QTimer whileWaiting;
    whileWaiting.setInterval(20);
    connect(&whileWaiting, &QTimer::timeout, &window, [&] {
      if (server_->Requests().size() != 1) return;
      whileWaiting.stop();
      busyCursor = QApplication::overrideCursor() &&
                   QApplication::overrideCursor()->shape() == Qt::BusyCursor;
      window.CheckforUpdates1->trigger();
      window.CheckforUpdates1->trigger();
      shownWhileWaiting = static_cast<int>(shown_.size());
      server_->getDelayMs = 0;
    });
    whileWaiting.start();
    QTRY_COMPARE(shown_.size(), size_t{1});
    QCOMPARE(server_->Requests()[0].path, e->versionFinderPath);
    QVERIFY(!window.tWebCheck->isActive());
    QVERIFY(busyCursor);
    QCOMPARE(shownWhileWaiting, 0);
    QCOMPARE(server_->Requests().size(), size_t{2});
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(shown_[0].text, "You are using the latest version of " + caption + ".");

    // Feedback with no error file: the launch is logged under the window's caption.
    const QString errors = Q(e->errorFilePath);
    QFile::remove(errors);
    window.SendFeedbacktoOrvelle1->trigger();
    QVERIFY(web->isVisible());
    QCOMPARE(Q(server_->Requests().back().path), QString("/"));
    QCOMPARE(web->product, caption);
    QCOMPARE(web->version, window.userText2->text());
    QVERIFY(web->version.endsWith(Q(" " + VersionText(e->imageVersion))));
    QCOMPARE(web->attachment1, errors);
    QVERIFY(web->defaultRecipient.contains('@'));
    QVERIFY(web->attachment2.isEmpty() && web->registeredName.isEmpty());
    QFile file(errors);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains(
        (" - " + caption + ": Launching web feedback with an empty error file.\r\n").toUtf8()));
    file.close();
    web->close();

    // A long error file goes with its last 32 KB only.
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (int i = 0; i < 2000; ++i) file.write(QByteArray(49, 'x') + "\n");
    file.close();
    window.SendFeedbacktoOrvelle1->trigger();
    QVERIFY(QFileInfo(errors).size() <= 32768 && QFileInfo(errors).size() > 32000);
  }

  // --- feedback form ---

  void openCheck() {
    const QString expected =
        QString("Error connecting to Orvelle's customer feedback internet service.\n\n") +
        "This feature requires your computer to be connected to the internet\n" +
        "and be able to contact Orvelle's Web Site (127.0.0.1)." +
        "\n\nPlease make a connection to the internet and try again." +
        "\n\nError: Connection refused";
    auto down = Form(QString("http://127.0.0.1:%1").arg(ClosedPort()));
    QVERIFY(!down->OpenCheck());
    QVERIFY(!down->isVisible());
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("Internet Access Error"));
    QCOMPARE(shown_[0].text, expected);
    QCOMPARE(shown_[0].kind, int{kMessageError});

    auto up = Form();
    QVERIFY(up->OpenCheck());
    QVERIFY(up->isVisible());
    QCOMPARE(up->size(), QSize(383, 492));
    QCOMPARE(Q(server_->Requests().at(0).path), QString("/"));
    QCOMPARE(up->cbRespondVia->currentText(), QString("Email"));
    QCOMPARE(up->lblDescription->text(), QString("Please describe the feedback below"));
    QVERIFY(up->pbWeb->isHidden());
  }

  // A check message of the form belongs to the form: once it is closed the operator types
  // into the named field again, not into the main window's port list.
  void formOwnsItsMessages() {
    QWidget main;
    main.show();
    TfrmWeb form(&main);
    form.serviceAddress = Q(server_->Address());
    form.dialogs.beep = [](int) {};
    QVERIFY(form.OpenCheck());
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // The hidden progress bar leaves the Send button its own width.
    QVERIFY(form.btnSend->width() <= form.btnSend->sizeHint().width());
    form.edName->setText("Ada");
    form.edEmail->setText("ada at field");
    QWidget* owner = nullptr;
    QString caption;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &form, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      owner = box->parentWidget();
      caption = box->windowTitle();
      box->close();
    });
    poll.start();
    form.btnSend->click();
    QCOMPARE(caption, QString("Bad Email Address"));
    QCOMPARE(owner, static_cast<QWidget*>(&form));
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget*>(&form));
    QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.edEmail));
  }

  void sendChecks_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<int>("respondVia");
    QTest::addColumn<QString>("emailTo");
    QTest::addColumn<QString>("caption");  // "": sent
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("focus");
    const QString contact = QString("Please enter your phone number or email address so ") +
                            "Orvelle can respond to your feedback.";
    const QString rep = QString("The email address you entered for your Orvelle\n") +
                        "Representative isn't complete.\n\nPlease enter a complete email " +
                        "address including\nthe '@' symbol and domain name.";
    const QString bad = QString("The email address you entered doesn't seem to be correct.\n\n") +
                        "Please enter a complete email address including\n" +
                        "the '@' symbol and domain name.";
    const QString spaces = "\n\nPlease remove any space characters in the email address.";
    QTest::newRow("no name first") << ""
                                   << "a b"
                                   << "" << 1 << "x"
                                   << "Missing Information"
                                   << "Please enter your name in the name field"
                                   << "edName";
    QTest::newRow("blank name is a name") << " "
                                          << "a@b"
                                          << "" << 1 << ""
                                          << ""
                                          << ""
                                          << "";
    QTest::newRow("no contact") << "Ada"
                                << ""
                                << "" << 1 << "rep"
                                << "Missing Information" << contact << "edTelephone";
    QTest::newRow("no response needed") << "Ada"
                                        << ""
                                        << "" << 0 << ""
                                        << ""
                                        << ""
                                        << "";
    QTest::newRow("phone only") << "Ada"
                                << ""
                                << "555" << 2 << ""
                                << ""
                                << ""
                                << "";
    QTest::newRow("representative before email") << "Ada"
                                                 << "a b"
                                                 << "" << 1 << "rep.example"
                                                 << "Bad Email Address" << rep << "edEmailTo";
    QTest::newRow("email with blank") << "Ada"
                                      << "ada @b.example"
                                      << "" << 1 << "r@x"
                                      << "Bad Email Address" << bad + spaces << "edEmail";
    QTest::newRow("email without at") << "Ada"
                                      << "ada.example"
                                      << "" << 1 << ""
                                      << "Bad Email Address" << bad << "edEmail";
  }

  void sendChecks() {
    QFETCH(QString, name);
    QFETCH(QString, email);
    QFETCH(QString, phone);
    QFETCH(int, respondVia);
    QFETCH(QString, emailTo);
    QFETCH(QString, caption);
    QFETCH(QString, text);
    QFETCH(QString, focus);
    auto form = Form();
    QVERIFY(form->OpenCheck());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    form->edName->setText(name);
    form->edEmail->setText(email);
    form->edTelephone->setText(phone);
    form->cbRespondVia->setCurrentIndex(respondVia);
    form->edEmailTo->setText(emailTo);
    form->btnSend->click();
    if (caption.isEmpty()) {
      QCOMPARE(server_->Posts().size(), size_t{1});
      QCOMPARE(shown_.back().caption, QString("Feedback Successfully Sent"));
      QCOMPARE(Remembered().value("Name").toString(), name);
      return;
    }
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, caption);
    QCOMPARE(shown_[0].text, text);
    QCOMPARE(shown_[0].kind, int{kMessageWarning});
    QVERIFY(QApplication::focusWidget() != nullptr);
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QVERIFY(server_->Posts().empty());
    QVERIFY(!Remembered().contains("Name"));
    QVERIFY(form->isVisible());
  }

  void postedFeedback() {
    const QString log = WriteFile("Lurra.errors.txt", "a log line\r\n");
    const QString picture = WriteFile("screen.png", QByteArray("\x89PNG\r\n", 6));
    chosenFile_ = WriteFile("readings.csv", "t,v\n1,2\n");
    auto form = Form();
    form->attachment1 = log;
    form->attachment2 = Path("gone.txt");  // cannot be read: left out
    form->attachment3 = picture;
    QVERIFY(form->OpenCheck());
    ShowCounter bar;
    form->pbWeb->installEventFilter(&bar);
    FillValid(form.get());
    form->cbFeedbackType->setCurrentIndex(3);
    QCOMPARE(form->lblDescription->text(), QString("Please describe the other feedback below"));
    form->cbRespondVia->setCurrentIndex(4);
    form->reDescription->setPlainText(QString(3000, 'd'));
    form->btnSendFileClick();
    QCOMPARE(form->edSendFile->text(), QString("readings.csv"));
    form->btnSend->click();

    const auto posts = server_->Posts();
    QCOMPARE(posts.size(), size_t{1});
    QCOMPARE(Q(posts[0].path), QString("/php-bin/app_feedback.php"));
    QCOMPARE(Q(posts[0].userAgent), QString("Mozilla/3.0 (compatible; Indy Library)"));
    QCOMPARE(Q(posts[0].accept), QString("text/html, */*"));
    QVERIFY(posts[0].contentType.rfind("multipart/form-data; boundary=", 0) == 0);
    const std::vector<FormPart> parts = ReadMultipart(posts[0].contentType, posts[0].body);
    const std::vector<std::pair<QString, QString>> fields = {
        {"EmailTo", "support@orvelle.example"},
        {"EmailSubject", QString(kTitle) + " Other Feedback"},
        {"Name", "Ada Field"},
        {"Company Name", "Field Works"},
        {"Email", "ada@field.example"},
        {"Telephone", "555 0100"},
        {"Respond Via", "Telephone (afternoon is best)"},
        {"Registered Name", ""},
        {"Registered Company", ""},
        {"Software Version", QString(kTitle) + " version Lurra 3.96"},
        {"Installation Path", QCoreApplication::applicationFilePath()},
        {"Computer Information", ComputerDescription()},
        {"Feedback", QString(2048, 'd')},
    };
    QCOMPARE(parts.size(), fields.size() + 3);
    for (size_t i = 0; i < fields.size(); ++i) {
      QCOMPARE(Q(parts[i].name), fields[i].first);
      QCOMPARE(QString::fromUtf8(parts[i].body.c_str()), fields[i].second);
      QVERIFY(!parts[i].hasFileName);
    }
    const std::vector<std::array<QByteArray, 3>> files = {
        {"Lurra.errors.txt", "text/plain", "a log line\r\n"},
        {"screen.png", "image/png", QByteArray("\x89PNG\r\n", 6)},
        {"readings.csv", "text/csv", "t,v\n1,2\n"},
    };
    for (size_t i = 0; i < files.size(); ++i) {
      const FormPart& part = parts[fields.size() + i];
      QCOMPARE(QByteArray::fromStdString(part.name), files[i][0]);
      QCOMPARE(QByteArray::fromStdString(part.fileName), files[i][0]);
      QCOMPARE(QByteArray::fromStdString(part.contentType), files[i][1]);
      QCOMPARE(QByteArray::fromStdString(part.body), files[i][2]);
    }
    QCOMPARE(bar.shown, 0);  // a small upload shows no bar

    QVERIFY(!form->isVisible());
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("Feedback Successfully Sent"));
    QCOMPARE(shown_[0].text, QString("Thank you for submitting your Other Feedback."));
    QCOMPARE(shown_[0].kind, int{kMessageInformation});
    QVERIFY(LogText().contains("gone.txt"));

    // Next time the contact fields are there again, the description and file are not.
    form->edEmailTo->setText("rep@field.example");
    Remembered().setValue("EmailTo", "rep@field.example");
    auto again = Form();
    again->registeredCompany = "Registered Works";
    QVERIFY(again->OpenCheck());
    QCOMPARE(again->edName->text(), QString("Ada Field"));
    QCOMPARE(again->edCompany->text(), QString("Registered Works"));
    QCOMPARE(again->edEmail->text(), QString("ada@field.example"));
    QCOMPARE(again->edTelephone->text(), QString("555 0100"));
    QCOMPARE(again->edEmailTo->text(), QString("rep@field.example"));
    QVERIFY(again->edSendFile->text().isEmpty() && again->reDescription->toPlainText().isEmpty());
    QCOMPARE(again->cbFeedbackType->currentIndex(), 0);
    QCOMPARE(again->feedbackTypeName, QString("General Feedback"));
    again->btnSend->click();
    const auto second =
        ReadMultipart(server_->Posts().at(1).contentType, server_->Posts().at(1).body);
    QCOMPARE(Q(second.at(0).body), QString("rep@field.example"));
    QCOMPARE(Q(second.at(8).body), QString("Registered Works"));
  }

  void unreadableChosenFile() {
    chosenFile_ = WriteFile("notes.txt", "notes");
    auto form = Form();
    QVERIFY(form->OpenCheck());
    FillValid(form.get());
    form->btnSendFileClick();
    QCOMPARE(form->edSendFile->text(), QString("notes.txt"));
    QVERIFY(QFile::remove(chosenFile_));
    form->btnSend->click();
    QVERIFY(server_->Posts().empty());
    QVERIFY(form->isVisible());
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("Error Reading File"));
    QCOMPARE(shown_[0].text, QString("Error sending the file \"notes.txt\". ") +
                                 "\nThe file is empty or can't be found on the system." +
                                 "\n\nPlease check your file name and try again.");
    QCOMPARE(shown_[0].kind, int{kMessageError});
    QVERIFY(form->btnSend->isEnabled());
  }

  void fileSizeLimit() {
    auto form = Form();
    QVERIFY(form->OpenCheck());
    FillValid(form.get());
    QFile big(Path("big.bin"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(TfrmWeb::kMaxSendFile + 1));
    big.close();
    chosenFile_ = big.fileName();
    form->btnSendFileClick();
    QVERIFY(form->edSendFile->text().isEmpty());
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("File Size Error"));
    QCOMPARE(shown_[0].kind, int{kMessageError});
    QCOMPARE(shown_[0].text, QString("The file \"big.bin\" is too big.\n\n") +
                                 "The maximun file size you can send with your feedback\n" +
                                 "is 8 megabytes (this file is 8.0 MB)." +
                                 "\n\nPlease choose a different file to send.");

    QVERIFY(big.resize(TfrmWeb::kMaxSendFile));
    QVERIFY(big.open(QIODevice::ReadWrite) && big.seek(TfrmWeb::kMaxSendFile - 4));
    big.write("tail");
    big.close();
    form->btnSendFileClick();
    QCOMPARE(form->edSendFile->text(), QString("big.bin"));
    ShowCounter bar;
    form->pbWeb->installEventFilter(&bar);
    form->btnSend->click();
    const auto posts = server_->Posts();
    QCOMPARE(posts.size(), size_t{1});
    const auto parts = ReadMultipart(posts[0].contentType, posts[0].body);
    QCOMPARE(Q(parts.back().name), QString("big.bin"));
    QCOMPARE(Q(parts.back().contentType), QString("application/octet-stream"));
    QCOMPARE(qint64(parts.back().body.size()), TfrmWeb::kMaxSendFile);
    QVERIFY(parts.back().body.compare(parts.back().body.size() - 4, 4, "tail") == 0);
    QVERIFY(bar.shown >= 1);
    QVERIFY(form->pbWeb->isHidden());
    QVERIFY(form->pbWeb->maximum() > TfrmWeb::kMaxSendFile);
    QCOMPARE(shown_.back().caption, QString("Feedback Successfully Sent"));
  }

  void progressThreshold() {
    auto form = Form();
    QVERIFY(form->OpenCheck());
    form->HTTPWorkBegin(TfrmWeb::kProgressThreshold);
    QVERIFY(form->pbWeb->isHidden() && form->transferInProgress);
    form->HTTPWorkBegin(TfrmWeb::kProgressThreshold + 1);
    QVERIFY(form->pbWeb->isVisible());
    form->HTTPWork(1000);
    QCOMPARE(form->pbWeb->value(), 1000);
    form->HTTPWorkEnd();
    QVERIFY(form->pbWeb->isHidden() && !form->transferInProgress);
  }

  void serviceReplies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("errorLine");  // "": none
    QTest::newRow("other text") << QByteArray("<html>Mail failed</html>") << 200 << "";
    QTest::newRow("server error") << QByteArray("Script Completed") << 500 << "\n\nError: ";
  }

  void serviceReplies() {
    QFETCH(QByteArray, reply);
    QFETCH(int, status);
    QFETCH(QString, errorLine);
    server_->SetFeedbackReply(reply.toStdString(), status);
    auto form = Form();
    QVERIFY(form->OpenCheck());
    FillValid(form.get());
    form->cbFeedbackType->setCurrentIndex(2);
    form->btnSend->click();
    QCOMPARE(server_->Posts().size(), size_t{1});
    QVERIFY(form->isVisible() && form->btnSend->isEnabled());
    QCOMPARE(shown_.size(), size_t{1});
    QCOMPARE(shown_[0].caption, QString("Error Sending Feedback"));
    QCOMPARE(shown_[0].kind, int{kMessageWarning});
    const QString text =
        "There was an error trying to send your Bug Report to Orvelle.\n\n"
        "Please try again.";
    if (errorLine.isEmpty()) {
      QCOMPARE(shown_[0].text, text);
    } else {
      QVERIFY2(shown_[0].text.startsWith(text + errorLine) &&
                   shown_[0].text.size() > text.size() + errorLine.size(),
               qPrintable(shown_[0].text));
    }
  }

  void closeAbortsTransfer() {
    server_->postDelayMs = 4000;
    auto form = Form();
    QVERIFY(form->OpenCheck());
    FillValid(form.get());
    QTimer::singleShot(300, form.get(), [&form] {
      QVERIFY(form->transferInProgress && !form->btnSend->isEnabled());
      form->close();
    });
    QElapsedTimer clock;
    clock.start();
    form->btnSend->click();
    QVERIFY(clock.elapsed() < 3000);
    QVERIFY(!form->isVisible() && !form->transferInProgress);
    QVERIFY(shown_.empty());  // the form is gone: nobody to tell
  }

  // Run alone: it ends every event loop of the test program.
  void quitDuringRequest() {
    server_->postDelayMs = 4000;
    auto form = Form();
    QVERIFY(form->OpenCheck());
    FillValid(form.get());
    QTimer::singleShot(300, [] { QCoreApplication::exit(0); });
    QElapsedTimer clock;
    clock.start();
    form->btnSend->click();
    QVERIFY(clock.elapsed() < 3000);
    QVERIFY(shown_.empty());
    server_->SetDocument(kPath, "3.97 http://x.example/a.exe");
    const size_t requests = server_->Requests().size();
    QCOMPARE(form->CheckVersion(396, kPath, false, kTitle), 0);
    QCOMPARE(server_->Requests().size(), requests);
    QVERIFY(shown_.empty());
  }
};

QTEST_MAIN(FrmWebTest)
#include "test_frm_web.moc"
