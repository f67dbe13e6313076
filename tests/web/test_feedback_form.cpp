// The feedback form against a local service, from its checks to the posted body.
#include "tests/web/web_fixture.h"

class FeedbackFormTest : public WebFixture {
  Q_OBJECT

 private slots:
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

QTEST_MAIN(FeedbackFormTest)
#include "test_feedback_form.moc"
