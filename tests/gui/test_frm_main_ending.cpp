// The window around one update against a simulated comm device: the port it preselects,
// the buttons it holds while the update runs, and what it says at the end (the console's
// ending when something is left to do; the unit found and the log's folder after a success).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include "app/gui/frm_main.h"
#include "sim/comm_device.h"
#include "sim/pty_transport.h"

using namespace quendal;

class FrmMainEndingTest : public QObject {
  Q_OBJECT

 private:
  struct Shown {
    QString caption;
    QString text;
    int kind;
  };
  std::unique_ptr<QTemporaryDir> dir_;
  std::vector<Shown> messages_;
  QList<QUrl> opened_;

  QString Path(const char* name) const { return dir_->filePath(name); }

  // A window listing only the simulated device's port, its dialogs answered here.
  std::unique_ptr<TfrmMain> Open(const std::string& port) {
    for (const char* sub : {"sys/class/tty", "dev", "sim", "data"}) QDir().mkpath(Path(sub));
    if (symlink(port.c_str(), Path("sim/devsim-kcd0").toUtf8().constData()) != 0) return nullptr;
    WindowOptions options;
    options.dataFolder = Path("data").toStdString();
    options.portPlaces.sysfsRoot = Path("sys").toStdString();
    options.portPlaces.deviceFolder = Path("dev").toStdString();
    options.portPlaces.simulatorFolder = Path("sim").toStdString();
    auto window = std::make_unique<TfrmMain>(options);
    window->dialogs.message = [this](const QString& text, const QString& caption, int kind) {
      messages_.push_back({caption, text, kind});
    };
    window->dialogs.box = [](const QString&, const QString&, int) { return kBoxCancel; };
    window->dialogs.beep = [](int) {};
    window->dialogs.openFolder = [this](const QUrl& folder) {
      opened_ << folder;
      return true;
    };
    window->show();
    return window;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/g-XXXXXX");
    QVERIFY(dir_->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Path("config"));
    messages_.clear();
    opened_.clear();
  }

  // Nothing remembered: the built-in port listed first is passed over for the simulated
  // device, by the console's rule; a remembered built-in port is still taken.
  void builtInPortNotPreselected() {
    const QByteArray only = qgetenv("QUENDAL_PORTS_ONLY_SIMULATED");
    qunsetenv("QUENDAL_PORTS_ONLY_SIMULATED");  // the made-up machine below is all it sees
    const auto restore = qScopeGuard([&] { qputenv("QUENDAL_PORTS_ONLY_SIMULATED", only); });
    // Two free terminals: a port that cannot be opened would be passed over as busy.
    int masters[2];
    for (int& master : masters) {
      master = posix_openpt(O_RDWR | O_NOCTTY);
      QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    }
    const auto closeMasters = qScopeGuard([&] {
      for (int master : masters) close(master);
    });
    const std::string simulated = ptsname(masters[1]);
    const QString device = Path("sys/devices/platform/serial8250/ttyS0");
    QVERIFY(QDir().mkpath(device) && QDir().mkpath(Path("sys/class/tty/ttyS0")));
    QVERIFY(QFile::link(device, Path("sys/class/tty/ttyS0/device")));
    QVERIFY(QDir().mkpath(Path("dev")) && QFile::link(ptsname(masters[0]), Path("dev/ttyS0")));

    auto w = Open(simulated);
    QVERIFY(w);
    QCOMPARE(w->cbCommPort->count(), 2);
    QVERIFY(w->cbCommPort->itemText(0).startsWith("ttyS0"));
    QCOMPARE(w->cbCommPort->currentIndex(), 1);
    QCOMPARE(w->engine()->options.port, Path("sim/devsim-kcd0").toStdString());
    w->Exit1->trigger();

    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Orvelle Devices, Inc", "Quendal")
        .setValue("CommPort", Path("dev/ttyS0"));
    QVERIFY(QFile::remove(Path("sim/devsim-kcd0")));
    w = Open(simulated);
    QCOMPARE(w->cbCommPort->currentIndex(), 0);
  }

  // Started from the File menu, the update holds Start and Close as the button does; its
  // success names the unit found, its firmware before and after, and the log's folder.
  void menuStartedSuccessNamesTheUnitAndTheLog() {
    sim::CommDevice device(sim::DemoCommDeviceOptions());
    sim::PtyTransport transport(&device);
    QVERIFY(transport.Start() > 0);
    const std::uint32_t before =
        device.WithSensor([](const sim::SdiSensor& s) { return s.version(); });
    auto w = Open(transport.SlavePath());
    QVERIFY(w);
    QVERIFY(!w->foundText->isVisible() && !w->logFolderText->isVisible());
    w->UpdateFirmware1->trigger();
    QVERIFY(!w->btnStart->isEnabled() && !w->btnClose->isEnabled());
    QVERIFY(!w->UpdateFirmware1->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(w->btnClose->isEnabled(), 240000);
    QVERIFY(!Updating(*w->engine()));
    QVERIFY(w->btnStart->isEnabled() && w->UpdateFirmware1->isEnabled());
    QVERIFY(messages_.empty());

    QVERIFY(w->foundText->isVisible());
    QCOMPARE(w->foundText->text(), "Found: Lurra Family (type s), serial LU-20931, firmware " +
                                       QString::fromStdString(VersionText(before)) + " " +
                                       QChar(0x2192) + " 3.96");
    QVERIFY(w->logFolderText->isVisible());
    QVERIFY2(w->logFolderText->text().startsWith("Open Log Folder: ") &&
                 w->logFolderText->text().contains(">" + Path("data").toHtmlEscaped() + "</a>"),
             qPrintable(w->logFolderText->text()));
    // The window makes room for the details: none is cut.
    for (QLabel* label : {w->statusText, w->foundText, w->logFolderText})
      QTRY_VERIFY(label->height() >= label->heightForWidth(label->width()));
    emit w->logFolderText->linkActivated(QString());
    QCOMPARE(opened_, QList<QUrl>{QUrl::fromLocalFile(Path("data"))});
    transport.Stop();
  }

  void settingsNotRestoredNamesThisUnitsFile() {
    sim::CommDeviceOptions options = sim::DemoCommDeviceOptions();
    QVERIFY(options.sensor.has_value());
    options.sensor->errorsBeforeOk = 1000;  // takes no setting after the update
    sim::CommDevice device(std::move(options));
    sim::PtyTransport transport(&device);
    QVERIFY(transport.Start() > 0);
    auto w = Open(transport.SlavePath());
    QVERIFY(w);
    QVERIFY(w->btnStart->isEnabled());
    QTest::mouseClick(w->btnStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w->btnClose->isEnabled(), 240000);

    QVERIFY(!messages_.empty());
    const Shown& last = messages_.back();
    QCOMPARE(last.caption, QString("Settings Not Restored"));
    QCOMPARE(last.kind, int{kMessageWarning});
    QCOMPARE(last.text.toStdString(), LastEnding(*w->engine()).Text());
    const QString kept = Path("data/Lurra Family.settings.txt");
    QVERIFY2(last.text.contains("The settings are kept in " + kept), qPrintable(last.text));
    QVERIFY2(last.text.contains("quendal-cli restore --port "), qPrintable(last.text));
    QVERIFY(QFile::exists(kept));
    transport.Stop();
  }

  void aRefusalAddsNoEnding() {
    sim::CommDeviceOptions options = sim::DemoCommDeviceOptions();
    options.battery = 5;
    sim::CommDevice device(std::move(options));
    sim::PtyTransport transport(&device);
    QVERIFY(transport.Start() > 0);
    auto w = Open(transport.SlavePath());
    QVERIFY(w);
    QTest::mouseClick(w->btnStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w->btnClose->isEnabled(), 60000);
    QCOMPARE(messages_.size(), size_t{1});
    QCOMPARE(messages_[0].caption, QString("Batteries Too Low"));
    // The line asks again for the device the window was started for.
    QCOMPARE(w->lblConnect->text(), QString("Connect KCD to computer comm port."));
    QVERIFY(!w->foundText->isVisible());
    transport.Stop();
  }
};

QTEST_MAIN(FrmMainEndingTest)
#include "test_frm_main_ending.moc"
