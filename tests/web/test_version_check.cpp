// The version check against a local service in both modes, the address rule, the client's
// headers, the service setting and the main window's hooks.
#include "tests/web/web_fixture.h"

class VersionCheckTest : public WebFixture {
  Q_OBJECT

 private slots:
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
};

QTEST_MAIN(VersionCheckTest)
#include "test_version_check.moc"
