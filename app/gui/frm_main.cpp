#include "app/gui/frm_main.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "host/file_ops.h"
#include "host/timing.h"
#include "loader/device_types.h"
#include "loader/host_bsl.h"
#include "web/frm_web.h"

namespace quendal {
namespace {

constexpr const char* kFormSource = "Quendal frmMain";
constexpr const char* kProduct = "Quendal";

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

QFont BoldOf(QFont font) {
  font.setBold(true);
  return font;
}

// The registry key "Software\Orvelle Devices, Inc\Quendal" on Windows; the platform's own
// place elsewhere.
QSettings Preferences() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, PreferencesOrganisation(),
                   kProduct);
}

// A device with a download arrow; drawn, so the program needs no image files.
QPixmap DeviceIcon() {
  QPixmap pixmap(48, 48);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(30, 60, 110), 2));
  painter.setBrush(QColor(70, 120, 190));
  painter.drawRoundedRect(QRectF(8, 14, 32, 30), 5, 5);
  painter.setBrush(QColor(200, 225, 250));
  painter.drawRect(QRectF(14, 20, 20, 10));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(40, 160, 70));
  painter.drawPolygon(QPolygonF({QPointF(18, 2), QPointF(30, 2), QPointF(30, 8), QPointF(35, 8),
                                 QPointF(24, 17), QPointF(13, 8), QPointF(18, 8)}));
  return pixmap;
}

// The log says once that it cannot be written, here as on a console's standard error.
void TellLogFailureInStatus(UpdaterEngine* e) {
  if (!e->log) return;
  e->log->TellWriteFailure([e](const std::string& text) { SetStatus(e, text); });
}

}  // namespace

void PortComboBox::showPopup() {
  if (onDropDown) onDropDown();
  QComboBox::showPopup();
}

TfrmMain::TfrmMain(WindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
  engine_ = std::make_unique<UpdaterEngine>(this, options_.build);
  InstallRealDialogs();
  dialogs.openFirmware = [this] {
    QFileDialog dialog(this, "Please select a firmware file", QDir::currentPath(),
                       "Firmware File (*.txt);;Any File (*)");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("txt");
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };
  dialogs.saveFirmware = [this] {
    QFileDialog dialog(this, "Save Firmware Image");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("txt");
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };
  dialogs.beep = SystemBeep;
  dialogs.openFolder = [](const QUrl& folder) { return QDesktopServices::openUrl(folder); };

  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  QFont font = QApplication::font();
  font.setPointSize(8);
  setFont(font);
  BuildControls();
  BuildMenus();
  // A fixed single-border frame on every system: no resizing, no maximising.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  auto makeTimer = [this](int interval, void (TfrmMain::*handler)()) {
    auto* timer = new QTimer(this);
    timer->setInterval(interval);
    connect(timer, &QTimer::timeout, this, handler);
    return timer;
  };
  timerStart = makeTimer(100, &TfrmMain::timerStartTimer);
  timerEraseWarn = makeTimer(500, &TfrmMain::timerEraseWarnTimer);
  timerConstructorErrors = makeTimer(100, &TfrmMain::timerConstructorErrorsTimer);
  tWebCheck = makeTimer(500, &TfrmMain::tWebCheckTimer);

  // The driver's waits run the window's messages, for as long as they wait and no longer.
  DSSetMessagePump([this](std::uint32_t maxWaitMs) {
    ++pumping_;
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(maxWaitMs), &loop, &QEventLoop::quit);
    loop.exec();
    --pumping_;
  });
}

TfrmMain::~TfrmMain() {
  DSSetMessagePump(nullptr);
}

void TfrmMain::BuildControls() {
  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  const QFont bold = BoldOf(font());

  icon = new QLabel(client);
  icon->setFixedSize(48, 48);
  icon->setPixmap(DeviceIcon());
  userText1 = new QLabel("This utility updates instrument firmware to", client);
  userText1->setWordWrap(true);
  userText2 = new QLabel("Instrument x.yy", client);
  userText2->setFont(bold);
  userText2->setWordWrap(true);
  lblConnect = new QLabel("Connect instrument to computer comm port.", client);
  lblConnect->setFont(bold);

  auto* panel = new QFrame(client);
  panel->setFrameShape(QFrame::StyledPanel);
  commLabel = new QLabel("Use computer comm port:", panel);
  commLabel->setWordWrap(true);
  cbCommPort = new PortComboBox(panel);
  cbCommPort->setFont(bold);
  cbCommPort->setToolTip("Pick your comm port from this list.");
  cbCommPort->onDropDown = [this] { cbCommPortDropDown(); };
  connect(cbCommPort, &QComboBox::activated, this, &TfrmMain::cbCommPortChange);
  statusLabel = new QLabel("Status:", panel);
  statusLabel->setFont(bold);
  statusText = new QLabel(panel);
  // The longest texts (the restart of some sensor types, the time an update took) are
  // wider than the window: they wrap rather than being cut.
  statusText->setWordWrap(true);
  statusText->hide();
  statusBar = new QProgressBar(panel);
  statusBar->setRange(0, 100);
  statusBar->setValue(0);
  statusBar->setTextVisible(false);
  foundText = new QLabel(panel);
  foundText->setWordWrap(true);
  foundText->hide();
  logFolderText = new QLabel(panel);
  logFolderText->setWordWrap(true);
  logFolderText->setTextFormat(Qt::RichText);
  logFolderText->hide();
  connect(logFolderText, &QLabel::linkActivated, this, [this] { OpenLogFolder1Click(); });
  newSN = new QLabel("New Serial Number", panel);
  newSN->hide();
  newSNstr = new QLineEdit(panel);
  newSNstr->setMaxLength(15);
  newSNstr->setMinimumWidth(
      newSNstr->fontMetrics().horizontalAdvance(QString(newSNstr->maxLength(), QChar('0'))) + 16);
  newSNstr->hide();
  btnClose = new QPushButton("Close", panel);
  btnStart = new QPushButton("Start", panel);
  btnStart->setDefault(true);
  connect(btnClose, &QPushButton::clicked, this, &TfrmMain::btnCloseClick);
  connect(btnStart, &QPushButton::clicked, this, &TfrmMain::btnStartClick);
  // A main window has no default or cancel button of its own; Enter and Escape act as a
  // dialog's would.
  for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
    connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this, [this] {
      for (QPushButton* button : {btnStart, btnClose}) {
        if (button->isDefault() && button->isEnabled()) return button->click();
      }
    });
  }
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
    if (btnClose->isEnabled()) btnClose->click();
  });

  auto* texts = new QVBoxLayout;
  texts->addWidget(userText1);
  texts->addWidget(userText2);
  texts->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(texts, 1);

  auto* statusRow = new QHBoxLayout;
  statusRow->addWidget(statusLabel, 0, Qt::AlignTop);
  statusRow->addWidget(statusText, 1);
  auto* serialColumn = new QVBoxLayout;
  serialColumn->addWidget(newSN);
  serialColumn->addWidget(newSNstr);
  auto* bottom = new QHBoxLayout;
  bottom->addLayout(serialColumn);
  bottom->addStretch();
  bottom->addWidget(btnClose);
  bottom->addWidget(btnStart);
  auto* inPanel = new QVBoxLayout(panel);
  inPanel->addWidget(commLabel);
  inPanel->addWidget(cbCommPort);
  inPanel->addLayout(statusRow);
  inPanel->addWidget(statusBar);
  inPanel->addWidget(foundText);
  inPanel->addWidget(logFolderText);
  inPanel->addStretch();
  inPanel->addLayout(bottom);

  auto* all = new QVBoxLayout(client);
  all->setContentsMargins(8, 8, 8, 8);
  all->addLayout(top);
  all->addWidget(lblConnect);
  all->addWidget(panel, 1);
}

void TfrmMain::BuildMenus() {
  auto add = [this](QMenu* menu, const char* caption, void (TfrmMain::*handler)(),
                    QKeySequence shortcut = {}) {
    QAction* action = menu->addAction(caption);
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    if (handler) connect(action, &QAction::triggered, this, handler);
    return action;
  };
  QMenu* file = menuBar()->addMenu("&File");
  OpenFirmwareFile1 = add(file, "&Open Firmware File...", &TfrmMain::OpenFirmwareFile1Click,
                          QKeySequence("Ctrl+O"));
  OpenFirmwareFile1->setEnabled(false);
  UpdateFirmware1 =
      add(file, "&Update Firmware", &TfrmMain::UpdateFirmware1Click, QKeySequence("Ctrl+F"));
  DumpFirmwareImage1 = add(file, "&Dump Firmware Image...", &TfrmMain::DumpFirmwareImage1Click,
                           QKeySequence("Ctrl+Alt+D"));
  DumpFirmwareImage1->setVisible(false);
  OpenLogFolder1 = add(file, "Open &Log Folder", &TfrmMain::OpenLogFolder1Click);
  file->addSeparator();
  Exit1 = add(file, "&Exit", &TfrmMain::Exit1Click, QKeySequence("Ctrl+Q"));

  QMenu* settings = menuBar()->addMenu("&Settings");
  VerboseErrorFile1 = add(settings, "&Verbose Error File", &TfrmMain::VerboseErrorFile1Click);
  VerboseErrorFile1->setCheckable(true);
  VerboseErrorFile1->setChecked(true);
  VerboseErrorFile1->setEnabled(false);
  ForceFindAllCommPorts1 =
      add(settings, "Force Find All &Comm Ports", &TfrmMain::ForceFindAllCommPorts1Click);
  ForceFindAllCommPorts1->setCheckable(true);
  DontEraseData1 = add(settings, "&Don't Erase Data", &TfrmMain::DontEraseData1Click);
  DontEraseData1->setCheckable(true);
  DontEraseData1->setVisible(false);
  PromptforSerialNumber1 =
      add(settings, "&Replace Serial Number", &TfrmMain::PromptforSerialNumber1Click);
  PromptforSerialNumber1->setCheckable(true);
  PromptforSerialNumber1->setVisible(false);
  N3 = settings->addSeparator();
  N3->setVisible(false);
  Set1 = settings->addAction("Set Digital Sensor to:");
  Set1->setEnabled(false);
  Set1->setVisible(false);
  for (const SensorMenuItem& item : kSensorMenu) {
    QAction* action = settings->addAction(item.caption);
    action->setCheckable(true);
    action->setVisible(false);
    const std::int32_t code = item.code;
    connect(action, &QAction::triggered, this, [this, code] { SensorTypeClick(code); });
    sensorItems.emplace_back(action, code);
  }

  QMenu* help = menuBar()->addMenu("&Help");
  Help2 = help->addAction("&Help");
  Help2->setShortcut(QKeySequence(Qt::Key_F1));
  connect(Help2, &QAction::triggered, this, [this] { ShowHelp(engine_.get()); });
  SendFeedbacktoOrvelle1 = help->addAction("Send Feedback to Orvelle...");
  connect(SendFeedbacktoOrvelle1, &QAction::triggered, this,
          &TfrmMain::SendFeedbacktoOrvelle1Click);
  CheckforUpdates1 = help->addAction("Check for Newer Firmware Version");
  connect(CheckforUpdates1, &QAction::triggered, this, &TfrmMain::CheckforUpdates1Click);
  help->addSeparator();
  About1 = help->addAction("&About...");
  connect(About1, &QAction::triggered, this, [this] { ShowAbout(engine_.get()); });
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  FormShow();
}

void TfrmMain::FormShow() {
  std::vector<std::string> arguments;
  for (const QString& argument : options_.arguments) arguments.push_back(argument.toStdString());
  UpdaterEngine* e = engine_.get();
  const Status constructed = EngineStart(e, arguments, options_.dataFolder);
  TellLogFailureInStatus(e);

  OpenFirmwareFile1->setEnabled(e->options.openFileAllowed);
  PromptforSerialNumber1->setVisible(e->options.factoryMode);
  DontEraseData1->setVisible(e->options.factoryMode);
  const bool sensorBlock = e->options.factoryMode && e->IsCommDeviceBuild();
  N3->setVisible(sensorBlock);
  Set1->setVisible(sensorBlock);
  for (auto& [action, code] : sensorItems) action->setVisible(sensorBlock && code != 95);
  CheckSensorItem();

  {
    QSettings preferences = Preferences();
    findAllPorts = preferences.value("FindAllComms", false).toBool();
    // "VerboseLog" is written for others to see; every run starts verbose.
    e->verboseLog = true;
    portSaved_ = preferences.contains("CommPort");
    savedPort_ = portSaved_ ? preferences.value("CommPort").toString() : QString();
  }
  ForceFindAllCommPorts1->setChecked(findAllPorts);
  VerboseErrorFile1->setChecked(true);

  FillPortList(true);

  userText2->setText(QString::fromUtf8(e->host->imageName.c_str()));
  ShowTargetTexts();
  lblConnect->setText(Q(ConnectText(*e)));

  if (DeviceTypeEraseWarning(e->build.targetType) && !e->options.openFileAllowed &&
      !e->options.factoryMode) {
    timerEraseWarn->start();
  } else {
    tWebCheck->start();
  }
  if (constructed < 0) timerConstructorErrors->start();
}

void TfrmMain::ShowTargetTexts() {
  const UpdaterEngine& e = *engine_;
  // The title bar, the About item and the messages all name the same target.
  setWindowTitle(Q(e.WindowCaption()));
  About1->setText(Q(AboutCaption(e)));
  QCoreApplication::setApplicationName(Q(e.targetDisplayName + " Updater"));
  userText1->setText(Q(UserText(e)));
  commLabel->setText(Q("Connect to " + e.longName + " with Comm Port"));
}

void TfrmMain::CheckSensorItem() {
  const std::int32_t checked = CheckedSensorItem(*engine_);
  for (auto& [action, code] : sensorItems) action->setChecked(code == checked);
}

void TfrmMain::FillPortList(bool once) {
  UpdaterEngine* e = engine_.get();
  std::int32_t count = kPortTableSize;
  portLink_.log = e->log.get();
  if (CommPortEnum(&portLink_, ports, &count, findAllPorts, options_.portPlaces) < 1) count = 0;
  portCount = count;
  QSignalBlocker quiet(cbCommPort);
  cbCommPort->clear();
  for (int i = 0; i < count; ++i)
    cbCommPort->addItem(QString::fromUtf8(ports[i].description.c_str()));
  int selected = 0;
  if (once) {
    // Without a remembered port that is there, the port the device most likely hangs on
    // (the console's rule): an adapter or a simulated device before a built-in port.
    const std::string saved = savedPort_.toStdString();
    int chosen = -1;
    for (int i = 0; portSaved_ && i < count && chosen < 0; ++i) {
      if (saved == ports[i].portName.c_str()) chosen = i;
    }
    for (int i = 0; chosen < 0 && i < count; ++i) {
      if (IsLikelyDevicePort(ports[i])) chosen = i;
    }
    selected = chosen < 0 ? 0 : chosen;
  } else {
    // The port chosen stays chosen wherever the refill put it: a newly plugged adapter
    // must not take its place unseen.
    for (int i = 0; i < count; ++i) {
      if (e->options.port == ports[i].portName.c_str()) {
        selected = i;
        break;
      }
    }
  }
  if (count == 0) {
    cbCommPort->addItem("No Comm Ports Found");
    cbCommPort->setCurrentIndex(0);
    SelectPort(e, "", "");
    btnStart->setEnabled(false);
    return;
  }
  cbCommPort->setCurrentIndex(selected);
  // What the list shows is what Start opens, even when a refill moved the ports around.
  CommitPort(selected);
}

void TfrmMain::CommitPort(int index) {
  UpdaterEngine* e = engine_.get();
  if (index < 0 || index >= portCount) return;
  selectedPortIndex = index;
  SelectPort(e, ports[index].portName.c_str(), ports[index].description.c_str());
}

void TfrmMain::cbCommPortDropDown() {
  FillPortList(false);
}

void TfrmMain::cbCommPortChange(int index) {
  if (index < 0 || index >= portCount) return;
  CommitPort(index);
  if (!engine_->options.port.empty()) btnStart->setEnabled(true);
}

void TfrmMain::timerEraseWarnTimer() {
  timerEraseWarn->stop();
  UpdaterEngine* e = engine_.get();
  ShowMessageOk(e,
                "WARNING: The " + e->WindowCaption() +
                    " will erase all measurment data\n stored in your " + e->targetDisplayName +
                    ".\n\n Please download any data you want to save before continuing.",
                "Data Erase Warning", kMessageWarning);
  tWebCheck->start();
}

void TfrmMain::timerConstructorErrorsTimer() {
  timerConstructorErrors->stop();
  UpdaterEngine* e = engine_.get();
  const Status code = e->host->constructorError;
  ShowMessageOk(e, ConstructorErrorText(*e, code), "Application Launch Error", kMessageError);
  LogPrint(e->log.get(), kLogFailure, kFormSource, "HostBSL class got an constructor error (%d)",
           static_cast<int>(code));
  btnCloseClick();
}

void TfrmMain::tWebCheckTimer() {
  tWebCheck->stop();
  if (!frmWeb) return;
  const UpdaterEngine& e = *engine_;
  frmWeb->log = e.log.get();
  frmWeb->CheckVersion(e.imageVersion, Q(e.versionFinderPath), true, Q(e.WindowCaption()));
}

bool TfrmMain::QueuedBehindWebRequest(bool* queued, void (TfrmMain::*handler)()) {
  if (!frmWeb->Busy()) return false;
  // Dropped, the item would do nothing at all; it follows the request under way instead.
  if (!*queued) {
    *queued = true;
    frmWeb->WhenIdle([this, queued, handler] {
      *queued = false;
      (this->*handler)();
    });
  }
  return true;
}

void TfrmMain::CheckforUpdates1Click() {
  if (!frmWeb || QueuedBehindWebRequest(&checkQueued_, &TfrmMain::CheckforUpdates1Click)) return;
  const UpdaterEngine& e = *engine_;
  frmWeb->log = e.log.get();
  frmWeb->CheckVersion(e.imageVersion, Q(e.versionFinderPath), false, Q(e.WindowCaption()));
}

void TfrmMain::SendFeedbacktoOrvelle1Click() {
  // A running request may be sending the error file that the opening cuts.
  if (!frmWeb ||
      QueuedBehindWebRequest(&feedbackQueued_, &TfrmMain::SendFeedbacktoOrvelle1Click)) {
    return;
  }
  UpdaterEngine* e = engine_.get();
  frmWeb->log = e->log.get();
  frmWeb->product = Q(e->WindowCaption());
  frmWeb->version = userText2->text();
  frmWeb->registeredName.clear();
  frmWeb->registeredCompany.clear();
  frmWeb->defaultRecipient = DefaultFeedbackRecipient();
  frmWeb->attachment1 = Q(e->errorFilePath);
  frmWeb->attachment2.clear();
  frmWeb->attachment3.clear();
  frmWeb->browseFolder = QCoreApplication::applicationDirPath();
  if (e->log && e->log->FileSize() > 0) {
    e->log->KeepTail(32768);
  } else {
    LogPrint(e->log.get(), kLogStep, e->WindowCaption().c_str(),
             "Launching web feedback with an empty error file.");
  }
  frmWeb->OpenCheck();
}

void TfrmMain::FormClose() {
  if (!shown_) return;
  const UpdaterEngine& e = *engine_;
  QSettings preferences = Preferences();
  preferences.setValue("FindAllComms", findAllPorts);
  preferences.setValue("VerboseLog", e.verboseLog);
  preferences.setValue("CommPort", Q(e.options.port));
  preferences.sync();
}

void TfrmMain::VerboseErrorFile1Click() {
  UpdaterEngine* e = engine_.get();
  e->verboseLog = VerboseErrorFile1->isChecked();
  if (e->log) e->log->SetLevel(e->verboseLog ? kLogDetail : kLogFailure);
}

void TfrmMain::ForceFindAllCommPorts1Click() {
  findAllPorts = ForceFindAllCommPorts1->isChecked();
}

void TfrmMain::PromptforSerialNumber1Click() {
  const bool on = PromptforSerialNumber1->isChecked();
  engine_->options.replaceSerialNumber = on;
  newSN->setVisible(on);
  newSNstr->setVisible(on);
  if (on) newSNstr->setFocus();
}

void TfrmMain::DontEraseData1Click() {
  engine_->options.dontEraseData = DontEraseData1->isChecked();
}

void TfrmMain::SensorTypeClick(std::int32_t code) {
  // The running sequence has named its files and messages after the current target.
  if (!Updating(*engine_)) SelectSensorType(engine_.get(), code);
  CheckSensorItem();
  ShowTargetTexts();
}

void TfrmMain::OpenLogFolder1Click() {
  UpdaterEngine* e = engine_.get();
  const QString folder =
      QFileInfo(Q(e->errorFilePath)).absolutePath();
  if (dialogs.openFolder && dialogs.openFolder(QUrl::fromLocalFile(folder))) return;
  ShowMessageOk(e, "The log folder could not be opened. The log is:\n" + e->errorFilePath,
                "Log Folder", kMessageWarning);
}

void TfrmMain::OpenFirmwareFile1Click() {
  // The loader may be reading the image right now.
  if (Updating(*engine_)) return;
  const QString path = dialogs.openFirmware ? dialogs.openFirmware() : QString();
  if (path.isEmpty()) return;
  UpdaterEngine* e = engine_.get();
  const std::string fileName = QFileInfo(path).fileName().toStdString();
  const std::string caption = e->WindowCaption();
  const Status rc = OpenFirmwareFile(e, QFile::encodeName(path).constData());
  if (rc == kNotTIText) {
    // Where the file went wrong, so that its maker can mend it.
    const std::string where =
        e->host->loadProblem.empty() ? "" : "\n\n" + e->host->loadProblem + ".";
    ShowMessageOk(e,
                  "The file \"" + fileName + "\" is not a valid firmware file.\n" +
                      "Please choose a new firmware file to open." + where,
                  "File Error", kMessageError);
    return;
  }
  if (rc == kOutOfMemory) {
    ShowMessageOk(e,
                  "The " + caption + " ran out of memory opening \"" + fileName + "\".\n" +
                      "Please restart this application and try again.",
                  "File Error", kMessageError);
    return;
  }
  if (rc < 0) {
    ShowMessageOk(e,
                  "The " + caption + " could not opening \"" + fileName + "\".\n" +
                      "Please try again.\nError " + std::to_string(rc),
                  "File Error", kMessageError);
    return;
  }
  if (e->host->deviceKind == kTypeUnknown) {
    e->host->deviceKind = kTypeDigitalSensor;
    ShowMessageOk(e,
                  "The " + caption + " could not detirmine the instrument type\nfrom the " +
                      "file name \"" + fileName + "\".\n\n" +
                      "Instrument type set to the default (for this build): \"" +
                      DeviceTypeDisplayName(kTypeDigitalSensor) + "\".",
                  "File Name Error", kMessageWarning);
  } else if (!e->IsCommDeviceBuild()) {
    // The comm-device build names its target by the sensor-type menu instead.
    e->targetDisplayName = DeviceTypeDisplayName(e->host->deviceKind);
    e->longName = e->targetDisplayName;
    e->shortName = e->targetDisplayName;
    ShowTargetTexts();
  }
  userText2->setText(QString::fromUtf8(e->host->imageName.c_str()));
  Beep(64);
  btnStart->setEnabled(true);
  UpdateFirmware1->setEnabled(true);
}

void TfrmMain::DumpFirmwareImage1Click() {
  const QString path = dialogs.saveFirmware ? dialogs.saveFirmware() : QString();
  if (path.isEmpty()) return;
  UpdaterEngine* e = engine_.get();
  const Status rc = BSLWriteTIFile(e->host.get(), QFile::encodeName(path).constData());
  if (rc < 0) {
    ShowMessageOk(e, "Error saving firmware image: " + std::to_string(rc), "Error",
                  kMessageWarning);
  }
}

}  // namespace quendal
