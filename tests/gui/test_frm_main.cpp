// The main window driven headless: switches, menus, the port list, the preferences, the
// close request and a whole update against a simulated comm device.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/engine/updater_engine.h"
#include "app/gui/frm_main.h"
#include "host/file_ops.h"
#include "loader/device_types.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"

using namespace quendal;

namespace {

struct Asked {
  QString caption;
  QString text;
  int kindOrFlags;
};

QSettings Preferences() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Orvelle Devices, Inc",
                   "Quendal");
}

}  // namespace

class FrmMainTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  PortEnumPlaces places_;
  std::vector<Asked> messages_;
  std::vector<Asked> boxes_;
  std::vector<int> beeps_;
  int boxAnswer_ = kBoxOk;

  QString Path(const char* name) const { return dir_->filePath(name); }

  // The captions of the message boxes on screen that no dialog hook answered.
  static QStringList OpenBoxes() {
    QStringList captions;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
        captions << box->windowTitle();
    }
    return captions;
  }
  static void CloseBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(widget)) box->close();
    }
  }

  // A simulated device's link in the folder the window lists them from.
  void AddPort(const char* name, const std::string& target) {
    QVERIFY(symlink(target.c_str(), Path("sim/").append(name).toUtf8().constData()) == 0);
  }

  std::unique_ptr<TfrmMain> Open(QStringList arguments = {}, int targetType = 0,
                                 bool realBoxes = false) {
    WindowOptions options;
    if (targetType != 0) options.build.targetType = targetType;
    options.arguments = arguments;
    options.dataFolder = Path("data").toStdString();
    options.portPlaces = places_;
    auto window = std::make_unique<TfrmMain>(options);
    if (realBoxes) {
      window->show();
      return window;
    }
    window->dialogs.message = [this](const QString& text, const QString& caption, int kind) {
      messages_.push_back({caption, text, kind});
    };
    window->dialogs.box = [this](const QString& text, const QString& caption, int flags) {
      boxes_.push_back({caption, text, flags});
      return boxAnswer_;
    };
    window->dialogs.beep = [this](int sound) { beeps_.push_back(sound); };
    window->show();
    return window;
  }
  // As if a Start were running: an attempt the window did not begin.
  static void PretendUpdating(TfrmMain* w) {
    w->engine()->attempt = std::make_unique<UpdateAttempt>();
    w->engine()->attempt->running = true;
  }

 private slots:
  void init() {
    // A short name: the simulated port's link below it must fit a serial link's 63
    // characters, and the temporary folder is already the test's own.
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/g-XXXXXX");
    QVERIFY(dir_->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Path("config"));
    for (const char* sub : {"sys/class/tty", "dev", "sim", "data"}) QDir().mkpath(Path(sub));
    places_.sysfsRoot = Path("sys").toStdString();
    places_.deviceFolder = Path("dev").toStdString();
    places_.simulatorFolder = Path("sim").toStdString();
    messages_.clear();
    boxes_.clear();
    beeps_.clear();
    boxAnswer_ = kBoxOk;
  }

  void switches_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("openAllowed");
    QTest::addColumn<bool>("factory");
    QTest::newRow("none") << QStringList{} << false << false;
    QTest::newRow("rep") << QStringList{"-rep"} << true << false;
    QTest::newRow("factory") << QStringList{"-factory"} << true << true;
    QTest::newRow("other case") << QStringList{"-Factory", "-REP"} << false << false;
    QTest::newRow("longer") << QStringList{"-factoryx", "-rep1", "factory"} << false << false;
    QTest::newRow("among others") << QStringList{"x", "-factory", "-rep"} << true << true;
  }

  void switches() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, openAllowed);
    QFETCH(bool, factory);
    auto w = Open(arguments);
    QCOMPARE(w->OpenFirmwareFile1->isEnabled(), openAllowed);
    QCOMPARE(w->PromptforSerialNumber1->isVisible(), factory);
    QCOMPARE(w->DontEraseData1->isVisible(), factory);
    QCOMPARE(w->N3->isVisible(), factory);
    QCOMPARE(w->Set1->isVisible(), factory);
    QVERIFY(!w->Set1->isEnabled());
    int checked = 0;
    for (auto& [action, code] : w->sensorItems) {
      QCOMPARE(action->isVisible(), factory && code != 95);
      if (action->isChecked()) {
        ++checked;
        QCOMPARE(action->text(), QString("Lurra Family"));
      }
    }
    QCOMPARE(checked, 1);
    // The comm-device build never warns about erased data; the web check is armed instead.
    QVERIFY(!w->timerEraseWarn->isActive());
    QVERIFY(w->tWebCheck->isActive());
  }

  void menus() {
    auto w = Open({"-factory"});
    QCOMPARE(w->windowTitle(), QString("Lurra Family Firmware Updater"));
    QCOMPARE(w->About1->text(), QString("About Lurra Family Firmware Updater"));
    QCOMPARE(QCoreApplication::applicationName(), QString("Lurra Family Updater"));
    // A fixed frame: no maximise button, and a resize changes nothing.
    QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
    const QSize size = w->size();
    QCOMPARE(w->minimumSize(), w->maximumSize());
    w->resize(size * 2);
    QCOMPARE(w->size(), size);
    QCOMPARE(w->userText1->text(), QString("This utility updates Lurra Family firmware to"));
    QCOMPARE(w->userText2->text(), QString("Lurra 3.96"));
    QCOMPARE(w->lblConnect->text(), QString("Connect KCD to computer comm port."));
    QCOMPARE(w->commLabel->text(), QString("Connect to KCD and Digital Sensor with Comm Port"));
    QVERIFY(!w->DumpFirmwareImage1->isVisible());
    QVERIFY(w->VerboseErrorFile1->isChecked() && !w->VerboseErrorFile1->isEnabled());

    // A sensor type: exactly one check mark, and the texts follow it.
    QAction* bremo = w->sensorItems[0].first;
    QCOMPARE(bremo->text(), QString("Bremo"));
    bremo->trigger();
    for (auto& [action, code] : w->sensorItems) QCOMPARE(action->isChecked(), action == bremo);
    QCOMPARE(w->userText1->text(), QString("This utility updates Bremo Sensor firmware to"));
    QCOMPARE(w->windowTitle(), QString("Bremo Sensor Firmware Updater"));
    QCOMPARE(w->About1->text(), QString("About Bremo Sensor Firmware Updater"));
    QCOMPARE(QCoreApplication::applicationName(), QString("Bremo Sensor Updater"));
    w->sensorItems[0].first->trigger();  // again: stays checked
    QVERIFY(bremo->isChecked());

    // The serial-number field comes and goes with its menu item.
    w->PromptforSerialNumber1->trigger();
    QVERIFY(w->newSNstr->isVisible() && w->engine()->options.replaceSerialNumber);
    QCOMPARE(w->newSNstr->maxLength(), 15);
    QVERIFY(w->newSNstr->width() >=
            w->newSNstr->fontMetrics().horizontalAdvance(QString(15, '0')) + 8);
    w->PromptforSerialNumber1->trigger();
    QVERIFY(!w->newSNstr->isVisible() && !w->engine()->options.replaceSerialNumber);

    // Help and About go through the OK-only box, with the beep of their kind, and are logged.
    w->About1->trigger();
    QCOMPARE(messages_.size(), size_t{1});
    QCOMPARE(messages_[0].caption, QString("About Bremo Sensor Firmware Updater"));
    // It names the system it runs on, not always Windows.
    const QString system = QSysInfo::productType() == "macos" ? "macOS" : "Linux";
    QVERIFY(
        messages_[0].text.startsWith("Orvelle Universal Firmware Updater for " + system + "\n\n"));
    QCOMPARE(messages_[0].kindOrFlags, int{kMessageInformation});
    QCOMPARE(beeps_, std::vector<int>{64});
  }

  void instrumentBuild_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("warned");
    QTest::newRow("plain") << QStringList{} << true;
    QTest::newRow("rep") << QStringList{"-rep"} << false;
    QTest::newRow("factory") << QStringList{"-factory"} << false;
  }

  void instrumentBuild() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, warned);
    int type = 0;
    for (int t = 1; t <= kLastDeviceType && type == 0; ++t) {
      if (t != kTypeDigitalSensor && DeviceTypeEraseWarning(t)) type = t;
    }
    if (type == 0) QSKIP("no device type warns of erased data");
    const QString name = DeviceTypeDisplayName(type);
    auto w = Open(arguments, type);
    QCOMPARE(w->windowTitle(), name + " Firmware Updater");
    QCOMPARE(w->lblConnect->text(), "Connect " + name + " to computer comm port.");
    QVERIFY(!w->Set1->isVisible() && !w->N3->isVisible());
    for (auto& item : w->sensorItems) QVERIFY(!item.first->isVisible());
    QCOMPARE(w->timerEraseWarn->isActive(), warned);
    QCOMPARE(w->tWebCheck->isActive(), !warned);
    if (!warned) return;
    QTRY_VERIFY(w->tWebCheck->isActive());
    QVERIFY(!w->timerEraseWarn->isActive());
    QCOMPARE(messages_.size(), size_t{1});
    QCOMPARE(messages_[0].caption, QString("Data Erase Warning"));
    QCOMPARE(messages_[0].kindOrFlags, int{kMessageWarning});
    QCOMPARE(messages_[0].text, "WARNING: The " + name + " Firmware Updater" +
                                    " will erase all measurment data\n stored in your " + name +
                                    ".\n\n Please download any data you want to save before "
                                    "continuing.");
    QCOMPARE(beeps_, std::vector<int>{48});
  }

  void firmwareFiles() {
    auto w = Open({"-rep"});
    QString toOpen;
    QString toSave;
    w->dialogs.openFirmware = [&] { return toOpen; };
    w->dialogs.saveFirmware = [&] { return toSave; };

    // Cancelled: nothing happens.
    w->OpenFirmwareFile1->trigger();
    w->DumpFirmwareImage1->trigger();
    QVERIFY(messages_.empty() && beeps_.empty());

    toOpen = Path("broken.txt");
    QFile broken(toOpen);
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("3140 0000\nq\n");
    broken.close();
    w->OpenFirmwareFile1->trigger();
    QCOMPARE(messages_.size(), size_t{1});
    QCOMPARE(messages_[0].caption, QString("File Error"));
    QCOMPARE(messages_[0].text, QString("The file \"broken.txt\" is not a valid firmware file.\n"
                                        "Please choose a new firmware file to open.\n\n"
                                        "line 1, column 1: the file does not begin with \"@\"."));
    QCOMPARE(w->userText2->text(), QString("Lurra 3.96"));

    toOpen = Path("missing.txt");
    w->OpenFirmwareFile1->trigger();
    QCOMPARE(messages_.size(), size_t{2});
    QVERIFY(messages_[1].text.startsWith(
        "The Lurra Family Firmware Updater could not opening \"missing.txt\".\n"));

    toOpen = Path("Lurra 4-01.txt");
    QFile good(toOpen);
    QVERIFY(good.open(QIODevice::WriteOnly));
    good.write("@F000\n31 40 00 0A 3F 40\n@FFFE\n00 F0\nq\n");
    good.close();
    beeps_.clear();
    w->OpenFirmwareFile1->trigger();
    QCOMPARE(messages_.size(), size_t{2});
    QCOMPARE(w->userText2->text(), QString("Lurra 4.01"));
    QCOMPARE(w->engine()->imageVersion, 401u);
    QCOMPARE(beeps_, std::vector<int>{64});
    QVERIFY(w->UpdateFirmware1->isEnabled());

    // The image in memory written back out.
    toSave = Path("dump.txt");
    w->DumpFirmwareImage1->trigger();
    QCOMPARE(messages_.size(), size_t{2});
    QFile dumped(toSave);
    QVERIFY(dumped.open(QIODevice::ReadOnly));
    QVERIFY(dumped.readAll().startsWith("@0F000\n40310A00"));

    toSave = Path("no/such/folder/dump.txt");
    w->DumpFirmwareImage1->trigger();
    QCOMPARE(messages_.size(), size_t{3});
    QCOMPARE(messages_[2].caption, QString("Error"));
    QVERIFY(messages_[2].text.startsWith("Error saving firmware image: -"));
  }

  void portList_data() {
    QTest::addColumn<bool>("withPorts");
    // "sim/...": a name in the simulated devices' folder; "": nothing saved.
    QTest::addColumn<QString>("saved");
    QTest::addColumn<int>("expected");
    QTest::newRow("saved port") << true << "sim/devsim-b2" << 1;
    QTest::newRow("unknown saved port") << true << "/dev/ttyUSB9" << 0;
    QTest::newRow("saved in other case") << true << "sim/DEVSIM-B2" << 0;
    QTest::newRow("nothing saved") << true << "" << 0;
    QTest::newRow("no ports") << false << "/dev/ttyUSB0" << -1;
  }

  void portList() {
    QFETCH(bool, withPorts);
    QFETCH(QString, saved);
    QFETCH(int, expected);
    if (withPorts) {
      AddPort("devsim-a1", "/dev/null");
      AddPort("devsim-b2", "/dev/null");
    }
    if (!saved.isEmpty()) {
      Preferences().setValue("CommPort",
                             saved.startsWith("sim/") ? dir_->path() + "/" + saved : saved);
    }
    auto w = Open();
    if (expected < 0) {
      QCOMPARE(w->cbCommPort->count(), 1);
      QCOMPARE(w->cbCommPort->currentText(), QString("No Comm Ports Found"));
      QVERIFY(!w->btnStart->isEnabled());
      QCOMPARE(w->engine()->options.port, std::string());
      // Choosing the placeholder selects nothing.
      emit w->cbCommPort->activated(0);
      QVERIFY(!w->btnStart->isEnabled());
      return;
    }
    QCOMPARE(w->cbCommPort->count(), 2);
    QCOMPARE(w->cbCommPort->currentIndex(), expected);
    const std::string name = w->ports[expected].portName.c_str();
    QCOMPARE(w->engine()->options.port, name);
    QVERIFY(w->btnStart->isEnabled());

    // A newly plugged adapter listed ahead of the chosen port does not take its place.
    AddPort("devsim-a0", "/dev/null");
    w->cbCommPortDropDown();
    QCOMPARE(w->cbCommPort->count(), 3);
    QCOMPARE(w->engine()->options.port, name);
    QCOMPARE(w->cbCommPort->currentText(),
             QString::fromUtf8(w->ports[w->cbCommPort->currentIndex()].description.c_str()));
    QVERIFY(QFile::remove(Path("sim/devsim-a0")));

    // A port that went away while the list was closed: the refill shows what is there.
    QVERIFY(QFile::remove(Path("sim/devsim-a1")));
    w->cbCommPortDropDown();
    QCOMPARE(w->cbCommPort->count(), 1);
    QCOMPARE(w->engine()->options.port, Path("sim/devsim-b2").toStdString());
  }

  void preferencesWrittenAtClose() {
    AddPort("devsim-a1", "/dev/null");
    AddPort("devsim-b2", "/dev/null");
    {
      QSettings preferences = Preferences();
      preferences.setValue("FindAllComms", true);
      preferences.setValue("VerboseLog", false);
    }
    auto w = Open();
    QVERIFY(w->ForceFindAllCommPorts1->isChecked());
    // "VerboseLog" is never read: the log starts detailed whatever it says.
    QVERIFY(w->VerboseErrorFile1->isChecked());
    QCOMPARE(w->engine()->log->Level(), std::uint32_t{kLogDetail});

    w->ForceFindAllCommPorts1->trigger();
    QVERIFY(!w->findAllPorts);
    emit w->cbCommPort->activated(1);
    w->Exit1->trigger();
    QVERIFY(!w->isVisible());
    QVERIFY(boxes_.empty());

    QSettings preferences = Preferences();
    QCOMPARE(preferences.value("FindAllComms").toBool(), false);
    QCOMPARE(preferences.value("VerboseLog").toBool(), true);
    QCOMPARE(preferences.value("CommPort").toString(), Path("sim/devsim-b2"));
  }

  // Every status text the sequences show fits the status line whole.
  // With the serial number field shown too (factory), where the window is fullest.
  void statusTextsShownWhole() {
    auto w = Open({"-factory"});
    const char* texts[] = {
        "Successfully updated firmware in 106 seconds.",
        "Restarting the Unknown Sensor (type 105), please wait...",
        "Checking the settings file against this Unknown Sensor (type 105)...",
    };
    for (int i = 0; i < 6; ++i) {
      const char* text = texts[i % 3];
      if (i == 3) w->PromptforSerialNumber1->trigger();
      QCOMPARE(w->newSNstr->isVisible(), i >= 3);
      w->SetStatus(text);
      QLabel* label = w->statusText;
      QTRY_VERIFY(label->isVisible());
      const QRect room = label->contentsRect();
      const QRect needed = label->fontMetrics().boundingRect(
          QRect(0, 0, room.width(), 10000), Qt::TextWordWrap | Qt::AlignLeft, text);
      QVERIFY2(needed.width() <= room.width() && needed.height() <= room.height(), text);
      QVERIFY2(label->wordWrap() || needed.height() <= label->fontMetrics().height(), text);
    }
  }

  // The boxes the operator sees: lines kept whole, failures name the log, and the log's
  // folder reachable from the File menu.
  // The window tells what the console tells: a log or a record that cannot be written,
  // once in its status; a data folder that other users can change, refused at Start
  // before anything reaches the device.
  void dataFolderAndWriteFailures() {
    AddPort("devsim-a1", "/dev/null");  // no device: the Start ends at its port
    SetFileFault([](const std::string& path) {
      return path.ends_with(".errors.txt") || path.ends_with("updates.jsonl") ? ENOSPC : 0;
    });
    {
      auto w = Open();
      const QString status = w->statusText->text();
      QVERIFY2(status.startsWith("The log ") && status.contains("errors.txt cannot be written (") &&
                   status.contains("later lines are lost"),
               qPrintable(status));
      w->btnStart->click();
      QTRY_VERIFY(!messages_.empty() && w->btnStart->isEnabled());
      QVERIFY2(w->statusText->text().startsWith("The update record could not be added to"),
               qPrintable(w->statusText->text()));
    }
    SetFileFault(nullptr);
    const QString data = Path("data");
    struct Case {
      std::function<bool()> make;
      QString says;
    };
    std::vector<Case> cases = {
        {[&] { return chmod(data.toUtf8().constData(), 0777) == 0; },
         "other users may write in it and it lacks the sticky bit"},
    };
    if (geteuid() == 0) {
      cases.push_back({[&] {
                         return chmod(data.toUtf8().constData(), 0700) == 0 &&
                                chown(data.toUtf8().constData(), 65534, 65534) == 0;
                       },
                       "it belongs to another user"});
    }
    for (const Case& c : cases) {
      messages_.clear();
      QFile::remove(Path("data/updates.jsonl"));
      QVERIFY(c.make());
      auto w = Open();
      w->btnStart->click();
      QTRY_VERIFY(!messages_.empty() && w->btnStart->isEnabled());
      QCOMPARE(messages_.size(), std::size_t{1});
      QCOMPARE(messages_[0].caption, QString("Data Folder Error"));
      QVERIFY2(messages_[0].text.contains("The data folder \"" + data + "\" is not safe to use: " +
                                          c.says),
               qPrintable(messages_[0].text));
      QVERIFY2(w->statusText->text().contains(c.says), qPrintable(w->statusText->text()));
      QVERIFY2(!QFile::exists(Path("data/updates.jsonl")), "no update was tried");
    }
  }

  void boxesAndTheLog() {
    auto w = Open({"-rep"}, 0, true);
    const QString log = QString::fromStdString(w->engine()->errorFilePath);
    QStringList details;
    QList<int> labelWidths;
    QList<int> labelHeights;
    QFont labelFont;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, w.get(), [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      details << box->detailedText();
      auto* label = box->findChild<QLabel*>("qt_msgbox_label");
      labelWidths << (label ? label->width() : 0);
      labelHeights << (label ? label->height() : 0);
      if (label) labelFont = label->font();
      box->close();
    });
    poll.start();

    // Help: its longest line shown on one line, every line on its own.
    w->Help2->trigger();
    QCOMPARE(labelWidths.size(), 1);
    const QStringList lines = QString::fromStdString(HelpText(*w->engine())).split('\n');
    const QFontMetrics metrics(labelFont);
    int widest = 0;
    for (const QString& line : lines) widest = std::max(widest, metrics.horizontalAdvance(line));
    QVERIFY2(labelWidths[0] >= widest, QByteArray::number(labelWidths[0]));
    QVERIFY(labelHeights[0] >= (lines.size() - 1) * metrics.lineSpacing());
    QVERIFY(details[0].isEmpty());

    // A failure: the detail names the log.
    w->dialogs.openFirmware = [this] { return Path("missing.txt"); };
    w->OpenFirmwareFile1->trigger();
    QCOMPARE(details.size(), 2);
    QVERIFY2(details[1].contains(log), qPrintable(details[1]));

    // Open Log Folder: the folder the log is in, or a message that names the log.
    QList<QUrl> opened;
    bool opens = true;
    w->dialogs.openFolder = [&](const QUrl& folder) {
      opened << folder;
      return opens;
    };
    w->OpenLogFolder1->trigger();
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(Path("data"))});
    QCOMPARE(details.size(), 2);
    opens = false;
    w->OpenLogFolder1->trigger();
    QCOMPARE(details.size(), 3);
    QVERIFY(details[2].contains(log));
  }

  void closeRefusedWhileUpdating() {
    auto w = Open();
    PretendUpdating(w.get());
    w->Exit1->trigger();
    QVERIFY(w->isVisible());
    QVERIFY(!w->engine()->attempt->stopRequested);
    QCOMPARE(boxes_.size(), size_t{1});
    QCOMPARE(boxes_[0].caption, QString("Don't Quit Now!"));
    QCOMPARE(boxes_[0].kindOrFlags, 48);
    QVERIFY(boxes_[0].text.startsWith(
        "The Lurra Family Firmware Updater is updating your Lurra Family!\n"));
    QVERIFY(boxes_[0].text.endsWith("Click OK to continue updating your Lurra Family.\n"));
    QVERIFY(Preferences().allKeys().isEmpty());

    // The system close command asks the same.
    w->close();
    QVERIFY(w->isVisible());
    QCOMPARE(boxes_.size(), size_t{2});

    // Let go, the close stops the update at its next safe point.
    boxAnswer_ = kBoxCancel;
    w->Exit1->trigger();
    QVERIFY(!w->isVisible());
    QVERIFY(w->engine()->attempt->stopRequested);
    QCOMPARE(boxes_.size(), size_t{3});
  }

  void nothingChangesUnderARunningUpdate() {
    AddPort("devsim-a1", "/dev/null");
    auto w = Open({"-factory"});
    PretendUpdating(w.get());
    bool asked = false;
    w->dialogs.openFirmware = [&] {
      asked = true;
      return QString();
    };
    w->OpenFirmwareFile1->trigger();
    QVERIFY(!asked);
    w->sensorItems[0].first->trigger();
    QCOMPARE(w->engine()->targetDisplayName, std::string("Lurra Family"));
    QVERIFY(!w->sensorItems[0].first->isChecked());

    const QString before = w->lblConnect->text();
    w->btnStartClick();
    QTRY_VERIFY(!w->timerStart->isActive());
    QCOMPARE(w->lblConnect->text(), before);
    QVERIFY(!w->statusText->isVisible());
    QVERIFY(Updating(*w->engine()));
  }

  // Under an update started from the menu, Close stays enabled: neither it nor Escape may
  // hide the window while the upload goes on.
  void closeAndEscapeDuringAMenuStartedUpdate() {
    AddPort("devsim-a1", "/dev/null");
    auto w = Open();
    PretendUpdating(w.get());
    QVERIFY(w->btnClose->isEnabled());
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"Escape", [&] { QTest::keyClick(w.get(), Qt::Key_Escape); }},
        {"Close", [&] { QTest::mouseClick(w->btnClose, Qt::LeftButton); }},
        {"system close", [&] { w->close(); }},
    };
    for (const auto& [name, way] : ways) {
      boxes_.clear();
      way();
      QVERIFY2(w->isVisible(), name);
      QVERIFY2(boxes_.size() == 1, name);
      QCOMPARE(boxes_[0].caption, QString("Don't Quit Now!"));
      QVERIFY2(!w->engine()->attempt->stopRequested, name);
    }
    w->engine()->attempt->running = false;
  }

  // A box the operator opens while an update runs (here the help) stays open beside it: the
  // upload's bytes keep flowing. The dialog hook stands for a modal box left open for 2 s.
  void uploadKeepsMovingWhileABoxIsOpen() {
    sim::CommDevice device(sim::DemoCommDeviceOptions());
    sim::PtyTransport transport(&device);
    QVERIFY(transport.Start() > 0);
    AddPort("devsim-kcd0", transport.SlavePath());
    auto w = Open();
    w->dialogs.message = [this](const QString& text, const QString& caption, int kind) {
      messages_.push_back({caption, text, kind});
      QEventLoop loop;
      QTimer::singleShot(2000, &loop, &QEventLoop::quit);
      loop.exec();
    };
    std::uint64_t atOpen = 0;
    std::uint64_t whileOpen = 0;
    QStringList shown;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, w.get(), [&] {
      if (w->statusBar->value() < 30 || atOpen != 0) return;
      poll.stop();
      atOpen = device.Counters().passedToSensor + 1;
      QTimer::singleShot(1500, w.get(), [&] {
        whileOpen = device.Counters().passedToSensor + 1 - atOpen;
        shown = OpenBoxes();
        CloseBoxes();
      });
      w->Help2->trigger();
    });
    poll.start();
    QTest::mouseClick(w->btnStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w->btnClose->isEnabled(), 240000);
    QVERIFY(atOpen != 0);
    QVERIFY2(whileOpen > 1000, QByteArray::number(static_cast<qulonglong>(whileOpen)));
    QVERIFY(messages_.empty());
    QCOMPARE(shown.size(), 1);
    QCOMPARE(w->statusBar->value(), 100);
    transport.Stop();
  }

  void fullStartAgainstSimulator() {
    sim::CommDevice device(sim::DemoCommDeviceOptions());
    sim::PtyTransport transport(&device);
    QVERIFY(transport.Start() > 0);
    AddPort("devsim-kcd0", transport.SlavePath());

    auto w = Open();
    QCOMPARE(w->cbCommPort->count(), 1);
    QVERIFY(w->btnStart->isEnabled());

    // Asked to quit while the update runs: refused, and the update goes on.
    bool asked = false;
    QTimer::singleShot(400, w.get(), [&] {
      asked = Updating(*w->engine());
      w->Exit1->trigger();
    });
    QTest::mouseClick(w->btnStart, Qt::LeftButton);
    QVERIFY(!w->btnStart->isEnabled() && !w->btnClose->isEnabled());
    QVERIFY(!w->UpdateFirmware1->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(w->btnClose->isEnabled(), 240000);

    for (const Asked& m : messages_) qWarning() << m.caption << m.text;
    QVERIFY(messages_.empty());
    QVERIFY(asked);
    // Asked while the update ran, the box stays open beside it instead of holding it up.
    QVERIFY(boxes_.empty());
    QCOMPARE(OpenBoxes(), QStringList{"Don't Quit Now!"});
    CloseBoxes();
    QVERIFY(w->isVisible());

    QCOMPARE(w->statusBar->value(), 100);
    QVERIFY(QRegularExpression("^Successfully updated firmware in \\d+ seconds\\.$")
                .match(w->statusText->text())
                .hasMatch());
    QVERIFY(w->statusText->isVisible());
    QCOMPARE(w->lblConnect->text(), QString("You may disconnect your Lurra Family now."));
    QVERIFY(w->btnClose->isDefault() && !w->btnStart->isDefault());
    QVERIFY(w->btnStart->isEnabled() && w->UpdateFirmware1->isEnabled());
    QVERIFY(w->cbCommPort->isEnabled());
    QVERIFY(!Updating(*w->engine()));
    QVERIFY(std::find(beeps_.begin(), beeps_.end(), 64) != beeps_.end());
    QVERIFY(!QFile::exists(Path("data/Lurra Family.settings.txt")));
    QCOMPARE(device.WithSensor([](const sim::SdiSensor& s) { return s.version(); }), 396u);
    QCOMPARE(device.WithSensor([](const sim::SdiSensor& s) { return s.serialNumber(); }),
             std::string("LU-20931"));
    transport.Stop();
  }
};

QTEST_MAIN(FrmMainTest)
#include "test_frm_main.moc"
