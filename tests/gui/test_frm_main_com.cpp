// The main window on Windows: its preferences in the registry, the computer's description,
// and a whole update through a COM port behind which a simulated comm device and its sensor
// answer from the Linux side (.ci/windows.sh names the port in QUENDAL_TEST_KCD_PORT).
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QOperatingSystemVersion>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <vector>

#include "app/gui/frm_main.h"
#include "web/frm_web.h"

using namespace quendal;

namespace {

// Never the maker's: the tests keep clear of an operator's own preferences.
constexpr const char* kTestOrganisation = "Quendal Window Tests";
constexpr const char* kUserSoftware = "HKEY_CURRENT_USER\\Software";

QSettings RegistryKey(const QString& path) {
  return QSettings(QString(kUserSoftware) + "\\" + path, QSettings::NativeFormat);
}

// Every value under a key, to see that a run left it as it was.
QVariantMap Snapshot(const QSettings& key) {
  QVariantMap values;
  for (const QString& name : key.allKeys()) values.insert(name, key.value(name));
  return values;
}

}  // namespace

class FrmMainComTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QStringList boxesSeen_;

  std::unique_ptr<TfrmMain> Open() {
    WindowOptions options;
    options.dataFolder = dir_->filePath("data").toStdString();
    auto window = std::make_unique<TfrmMain>(options);
    window->show();
    return window;
  }

  // Real message boxes, answered as an operator would, so that nothing waits for ever;
  // their captions are kept for the checks.
  void AnswerBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible()) continue;
      boxesSeen_ << box->windowTitle() + ": " + box->text();
      QAbstractButton* answer = box->defaultButton();
      if (!answer && !box->buttons().isEmpty()) answer = box->buttons().first();
      if (answer) answer->click();
    }
  }

 private slots:
  void initTestCase() { QCoreApplication::setOrganizationName(kTestOrganisation); }

  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(QDir().mkpath(dir_->filePath("data")));
    RegistryKey("").remove(kTestOrganisation);
    boxesSeen_.clear();
  }

  void cleanupTestCase() {
    RegistryKey("").remove(kTestOrganisation);
    QVERIFY(!RegistryKey("").childGroups().contains(kTestOrganisation));
  }

  // The preferences are values under the current user's key, read at start and written at
  // close, and the maker's own key is left alone; the computer names its Windows version.
  void windowsPaths() {
    QCOMPARE(PreferencesOrganisation(), QString(kTestOrganisation));
    const QVariantMap operatorsOwn = Snapshot(RegistryKey("Orvelle Devices, Inc\\Quendal"));
    const QString key = QString(kTestOrganisation) + "\\Quendal";
    RegistryKey(key).setValue("FindAllComms", true);
    {
      auto w = Open();
      QVERIFY(w->ForceFindAllCommPorts1->isChecked());
      w->ForceFindAllCommPorts1->trigger();
      w->Exit1->trigger();
      QVERIFY(!w->isVisible());
    }
    QSettings written = RegistryKey(key);
    QCOMPARE(written.value("FindAllComms").toBool(), false);
    QCOMPARE(written.value("VerboseLog").toBool(), true);
    QVERIFY(written.contains("CommPort"));
    QCOMPARE(Snapshot(RegistryKey("Orvelle Devices, Inc\\Quendal")), operatorsOwn);

    const QOperatingSystemVersion os = QOperatingSystemVersion::current();
    const QString description = ComputerDescription();
    QVERIFY2(description.startsWith("Windows ") || description.startsWith("Unknown WinNT "),
             qPrintable(description));
    QVERIFY2(description.endsWith(QString("(Version %1.%2 build %3)")
                                      .arg(os.majorVersion())
                                      .arg(os.minorVersion())
                                      .arg(os.microVersion())),
             qPrintable(description));
  }

  // Wine's device manager does not list the job's COM ports: the operator forces the probe
  // of COM1-COM16, picks the port, starts, and the simulated sensor is updated.
  void fullUpdateThroughComPort() {
    const QString port = qEnvironmentVariable("QUENDAL_TEST_KCD_PORT");
    if (port.isEmpty()) QSKIP("QUENDAL_TEST_KCD_PORT names no COM port");

    QTimer answering;
    connect(&answering, &QTimer::timeout, this, [this] { AnswerBoxes(); });
    answering.start(200);
    std::vector<int> beeps;
    auto w = Open();
    w->dialogs.beep = [&beeps](int sound) {
      beeps.push_back(sound);
      SystemBeep(sound);
    };

    w->ForceFindAllCommPorts1->trigger();
    QVERIFY(w->ForceFindAllCommPorts1->isChecked());
    w->cbCommPort->showPopup();
    int index = -1;
    for (int i = 0; i < w->portCount; ++i) {
      if (port == w->ports[i].portName.c_str()) index = i;
    }
    QVERIFY2(index >= 0, qPrintable(port + " not among the ports found"));
    QAbstractItemView* list = w->cbCommPort->view();
    QTRY_VERIFY(list->isVisible());
    const QRect item = list->visualRect(list->model()->index(index, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
    QTRY_VERIFY(!list->isVisible());
    QCOMPARE(QString::fromStdString(w->engine()->options.port), port);
    QVERIFY(w->btnStart->isEnabled());

    QTest::mouseClick(w->btnStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(w->btnClose->isEnabled() && !Updating(*w->engine()), 240000);
    QVERIFY2(boxesSeen_.isEmpty(), qPrintable(boxesSeen_.join("\n")));
    QVERIFY2(QRegularExpression("^Successfully updated firmware in \\d+ seconds\\.$")
                 .match(w->statusText->text())
                 .hasMatch(),
             qPrintable(w->statusText->text()));
    QCOMPARE(w->statusBar->value(), 100);
    QVERIFY(std::find(beeps.begin(), beeps.end(), 64) != beeps.end());

    const QString shot = qEnvironmentVariable("QUENDAL_SCREENSHOT");
    if (!shot.isEmpty()) QVERIFY(w->grab().save(shot));

    // The port is remembered by name and chosen again at the next start.
    w->Exit1->trigger();
    QVERIFY(!w->isVisible());
    auto again = Open();
    QCOMPARE(QString::fromStdString(again->engine()->options.port), port);
    QCOMPARE(again->cbCommPort->currentIndex(), index);
  }
};

QTEST_MAIN(FrmMainComTest)
#include "test_frm_main_com.moc"
