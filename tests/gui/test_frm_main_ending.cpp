// The window's closing message after an update that left something to do: it is the same
// ending the console gives, and a success adds none.
#include <unistd.h>

#include <QPushButton>
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
    window->show();
    return window;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/g-XXXXXX");
    QVERIFY(dir_->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Path("config"));
    messages_.clear();
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
    transport.Stop();
  }
};

QTEST_MAIN(FrmMainEndingTest)
#include "test_frm_main_ending.moc"
