#include "app/engine/updater_engine.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/engine/build_settings.h"
#include "app/engine/update_record.h"
#include "host/file_lock.h"
#include "host/program_version.h"
#include "host/timing.h"
#include "loader/bsl_engine.h"
#include "loader/image_fit.h"
#include "sdi12/sdi_sensor.h"

namespace quendal {
namespace {

constexpr const char* kToldUser = "ErrorOK Told User:";

bool MakeFolder(const std::string& path) {
#ifdef _WIN32
  int rc = mkdir(path.c_str());
#else
  int rc = mkdir(path.c_str(), 0700);
#endif
  return rc == 0 || errno == EEXIST;
}

// Creates every missing folder of `path`.
bool MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || path[i] == '\\') {
      std::string part = path.substr(0, i);
      if (!part.empty() && part.back() != ':' && !MakeFolder(part)) return false;
    }
  }
  return true;
}

int SoundOfKind(int kind) {
  switch (kind) {
    case kMessageError:
      return 16;
    case kMessageInformation:
      return 64;
    case kMessageConfirmation:
      return 32;
    default:
      return 48;
  }
}

HardwareRule ParseHardwareRule(const char* text) {
  if (std::strcmp(text, "C_ONLY") == 0) return HardwareRule::kCOnly;
  if (std::strcmp(text, "A_OR_B") == 0) return HardwareRule::kAOrB;
  return HardwareRule::kNone;
}

RecordReset ParseRecordReset(const char* text) {
  if (std::strcmp(text, "EQN") == 0) return RecordReset::kEqn;
  if (std::strcmp(text, "USERS") == 0) return RecordReset::kUsers;
  if (std::strcmp(text, "ACT") == 0) return RecordReset::kActuator;
  return RecordReset::kNone;
}

// Refuses, with a message, an image that cannot fit the device type it is meant for.
Status CheckImageBeforeUpdate(UpdaterEngine* engine) {
  DeviceProfile layout;
  DescribeDevice(engine->host->deviceKind, 999, &layout);
  std::string why;
  Status rc = CheckImageFits(*engine->host, layout, &why);
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + engine->WindowCaption() + " cannot write the firmware image \"" +
                      engine->host->imageName.c_str() + "\" to your " + engine->targetDisplayName +
                      ".\n\n" + why + "\n\nNothing was changed on the device.",
                  "Firmware File Error", kMessageError);
  }
  return rc;
}

}  // namespace

const char* const kQuestionCaptions[5] = {"Newer Firmware", "Wrong Sensor Type", "Wrong Device",
                                          "Wrong Firmware Version", "Settings Retrieve Error"};

BuildSettings ThisBuild() {
  BuildSettings build;
  int type = std::strcmp(QUENDAL_BUILD_TARGET_FAMILY, "COMM") == 0
                 ? 0
                 : FindDeviceTypeCode(QUENDAL_BUILD_TARGET_FAMILY);
  build.targetType = type > 0 ? type : kTypeDigitalSensor;
  build.hardwareRule = ParseHardwareRule(QUENDAL_BUILD_HARDWARE_RULE);
  build.recordReset = ParseRecordReset(QUENDAL_BUILD_RECORD_RESET);
  build.engineVersion = ProgramFileVersion();
  return build;
}

UpdaterEngine::UpdaterEngine(OperatorInterface* ui, BuildSettings build) : ui(ui), build(build) {}

Status CheckBatteryStep(UpdaterEngine* engine, InstrumentSession* session, const char* status,
                        const char* firstLine) {
  SetStatus(engine, status);
  std::int32_t percent = 0;
  if (DPCheckBattery(session, &percent) > 0 && percent < 10) {
    ShowMessageOk(engine,
                  std::string(firstLine) + "\n\n" +
                      "Please replace the batteries before running this updater.",
                  "Batteries Too Low", kMessageError);
    return kBatteryLow;
  }
  return 0;
}

std::string PortProblemText(const std::string& port, Status rc) {
  if (DSPortInUse(rc)) {
    return "Comm Port \"" + port + "\" is already in use by another application.\n" +
           "Please choose a new Comm Port to use or quit the application using this port.";
  }
  if (DSPortMissing(rc))
    return "Comm Port \"" + port + "\" isn't available.\nPlease choose a new Comm Port to use.";
  return {};
}

std::string PerUserDataFolder() {
  std::string base;
#ifdef _WIN32
  if (const char* appData = std::getenv("APPDATA"); appData && *appData) base = appData;
#else
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/share";
  }
#endif
  if (base.empty()) return {};
  std::string folder = base + kSeparator + "Orvelle" + kSeparator + "Quendal";
  if (!MakeFolders(folder)) return {};
  return folder;
}

Status EngineStart(UpdaterEngine* engine, const std::vector<std::string>& arguments,
                   const std::string& dataFolder) {
  if (engine->IsCommDeviceBuild()) {
    SelectSensorType(engine, static_cast<std::int32_t>(kSensorFamilyLurra));
    engine->longName = "KCD and Digital Sensor";
    engine->shortName = "KCD";
    engine->sensorTypeMenu = true;
  } else {
    engine->versionFinderPath = VersionFinderPath(engine->build.targetType);
    engine->targetDisplayName = DeviceTypeDisplayName(engine->build.targetType);
    engine->longName = engine->targetDisplayName;
    engine->shortName = engine->targetDisplayName;
  }
  for (const std::string& argument : arguments) {
    if (argument == "-factory") {
      engine->factoryMode = true;
      engine->openFileAllowed = true;
    } else if (argument == "-rep") {
      engine->openFileAllowed = true;
    }
  }
  engine->verboseLog = true;
  if (!dataFolder.empty()) {
    MakeFolders(dataFolder);
    engine->dataFolder = dataFolder;
  } else {
    engine->dataFolder = PerUserDataFolder();
    // Without a per-user folder the error file sits beside the program, where it can be
    // found again, not wherever the program happened to be started from.
    if (engine->dataFolder.empty()) engine->dataFolder = ProgramFolder();
    // assign() rather than "=" works around a false -Wrestrict of GCC 12 at -O3.
    if (engine->dataFolder.empty()) engine->dataFolder.assign(1, '.');
  }
  engine->errorFilePath = engine->dataFolder + kSeparator + engine->WindowCaption() + ".errors.txt";
  engine->log = std::make_unique<DiagnosticLog>(engine->errorFilePath.c_str(),
                                                engine->verboseLog ? kLogDetail : kLogFailure);
  engine->session = std::make_unique<InstrumentSession>(engine->log.get());
  engine->host = std::make_unique<HostBSL>(engine->log.get());
  engine->host->target = &engine->profile;
  if (!engine->IsCommDeviceBuild()) {
    engine->host->deviceKind = static_cast<std::int8_t>(engine->build.targetType);
  }
  engine->host->progress = [engine](std::uint32_t, std::uint32_t, int, char kind) {
    return ReportLoaderProgress(engine, kind) ? 1 : 0;
  };
  engine->portLink.log = engine->log.get();
  engine->connectText = "Connect " + engine->shortName + " to computer comm port.";
  engine->progressStepX = 1;
  engine->progressStepW = engine->host->imageTextLength > 0
                              ? 35328.0f / static_cast<float>(engine->host->imageTextLength)
                              : 0.5569078f;
  engine->imageVersion = static_cast<std::uint32_t>(engine->host->imageVersion);
  return engine->host->constructorError;
}

void SelectPort(UpdaterEngine* engine, const std::string& name, const std::string& description) {
  engine->selectedPortName = name;
  engine->selectedPortDescription = description.empty() ? name : description;
}

Status OpenFirmwareFile(UpdaterEngine* engine, const char* path) {
  Status rc = BSLLoadTIFile(engine->host.get(), path);
  if (rc < 0) return rc;
  engine->imageVersion = static_cast<std::uint32_t>(engine->host->imageVersion);
  if (engine->host->imageTextLength > 0) {
    engine->progressStepW = 35328.0f / static_cast<float>(engine->host->imageTextLength);
  }
  return rc;
}

std::string ConstructorErrorText(const UpdaterEngine& engine, Status code) {
  const std::string caption = engine.WindowCaption();
  if (code == kOutOfMemory) {
    return "The " + caption + " ran out of memory while allocating internal buffers.\n\n" +
           "Please restart this application and try again.";
  }
  if (code == kImageCheckFailed) {
    return "The internal firware file for this " + caption + " is corrupt.\n\n" +
           "Please restart this application and try again.";
  }
  return "The " + caption + " got an unexpected error starting up.\n" +
         "[Error: " + std::to_string(code) + "]\n\n" +
         "Please restart this application and try again.";
}

void ShowMessageOk(UpdaterEngine* engine, const std::string& text, const std::string& caption,
                   int kind) {
  engine->ui->Beep(SoundOfKind(kind));
  engine->ui->ShowMessage(text.c_str(), caption.c_str(), kind);
  if (kind == kMessageError) engine->lastErrorCaption = caption;
  LogPrint(engine->log.get(), kLogFailure, kToldUser, "%s", text.c_str());
}

int AskOkCancel(UpdaterEngine* engine, const std::string& text, const std::string& caption) {
  return engine->ui->MessageBox(text.c_str(), caption.c_str(), 49);
}

void SetStatus(UpdaterEngine* engine, const std::string& text) {
  engine->ui->SetStatus(text.c_str());
  engine->ui->PumpMessages();
}

void SetProgress(UpdaterEngine* engine, int position) {
  engine->progress = position < 0 ? 0 : position > 100 ? 100 : position;
  engine->ui->SetProgress(engine->progress);
}

void StepProgress(UpdaterEngine* engine, int step) {
  SetProgress(engine, engine->progress + step);
}

bool ReportLoaderProgress(UpdaterEngine* engine, char letter) {
  if (letter == 'X') {
    StepProgress(engine, engine->progressStepX);
  } else if (letter == 'W') {
    engine->progressPosition += engine->progressStepW;
    SetProgress(engine, static_cast<int>(engine->progressPosition + 0.5f));
  }
  engine->ui->PumpMessages();
  return engine->keepGoing;
}

const char* UpdateStageName(UpdateStage stage) {
  switch (stage) {
    case UpdateStage::kConnect:
      return "connect";
    case UpdateStage::kSave:
      return "save";
    case UpdateStage::kLoaderStart:
      return "loader start";
    case UpdateStage::kErase:
      return "erase";
    case UpdateStage::kUpload:
      return "upload";
    case UpdateStage::kVectors:
      return "vectors";
    case UpdateStage::kRestart:
      return "restart";
    case UpdateStage::kCheck:
      return "check";
    case UpdateStage::kRestore:
      return "restore";
  }
  return "?";
}

bool EnterStage(UpdaterEngine* engine, UpdateStage stage) {
  engine->ui->PumpMessages();
  if (!engine->keepGoing && stage <= UpdateStage::kVectors) return false;
  if (engine->stage != stage) {
    engine->stage = stage;
    engine->ui->StageEntered(UpdateStageName(stage));
  }
  return true;
}

Status StoppedOnRequest(UpdaterEngine* engine) {
  LogPrint(engine->log.get(), kLogFailure, kHostSource, "Update stopped on request at the %s stage",
           UpdateStageName(engine->stage));
  return kCancelled;
}

std::string LeftBehindText(const UpdaterEngine& engine) {
  const std::string target = engine.targetDisplayName;
  std::string kept;
  if (std::FILE* file = std::fopen(engine.settingsFilePath.c_str(), "rb")) {
    std::fclose(file);
    kept = "Its settings are kept in \"" + engine.settingsFilePath + "\".\n";
  }
  const std::string again =
      "Start the update again on Comm Port \"" + engine.selectedPortDescription + "\" to ";
  switch (engine.stage) {
    case UpdateStage::kConnect:
    case UpdateStage::kSave:
      return "The " + target + " was not changed: it still runs its old firmware.\n" + kept +
             again + "update it.";
    case UpdateStage::kLoaderStart:
    case UpdateStage::kErase:
    case UpdateStage::kUpload:
    case UpdateStage::kVectors:
      return "The firmware of the " + target +
             " is not complete: it waits in its firmware loader.\n" + kept + again +
             "finish the update; leave it connected until then.";
    case UpdateStage::kRestart:
    case UpdateStage::kCheck:
    case UpdateStage::kRestore:
      return "The new firmware is in the " + target +
             ", but its settings may not all be back yet.\n" + kept + again + "bring them back.";
  }
  return {};
}

namespace {

Status RunUpdateSequence(UpdaterEngine* engine) {
  engine->settingsFilePath =
      engine->dataFolder + kSeparator + engine->targetDisplayName + ".settings.txt";
  // The settings file is this attempt's alone from before the capture to the end: another
  // updater on the same data folder would set it aside, or delete it on its own success.
  FileLock lock;
  std::string holder;
  const std::string owner = "process " + std::to_string(ThisProcessId()) + " on port " +
                            engine->selectedPortDescription;
  const Status locked = lock.TryLock(engine->settingsFilePath + ".lock", owner, &holder);
  if (locked == kSettingsFileBusy) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource, "The settings file %s is held by %s",
             engine->settingsFilePath.c_str(), holder.c_str());
    ShowMessageOk(engine,
                  "Another updater is updating a " + engine->targetDisplayName +
                      " with the settings file\n" + engine->settingsFilePath + "\n(" +
                      (holder.empty() ? std::string("unknown process") : holder) +
                      ").\n\nNothing was changed. Let it finish, then start again.",
                  "Settings File In Use", kMessageError);
    return kSettingsFileBusy;
  }
  if (locked < 0) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "The settings file %s could not be locked (error %d)",
             engine->settingsFilePath.c_str(), locked);
  }
  engine->updating = true;
  engine->keepGoing = true;
  SetProgress(engine, 0);
  engine->connectText = "Do NOT disconnect " + engine->targetDisplayName + " until finished.";
  engine->ui->SetConnectText(engine->connectText.c_str());
  DPForgetInfo(engine->session.get());
  engine->profile = DeviceProfile{};
  engine->settingsSkipped = false;
  engine->stage = UpdateStage::kConnect;
  engine->connectResult = 0;
  SetStatus(engine, "Connecting to " + engine->targetDisplayName + "...");
  engine->ui->StageEntered(UpdateStageName(UpdateStage::kConnect));
  const std::uint32_t start = DSTicks();

  Status rc = engine->IsCommDeviceBuild() ? UpdateDigitalSensor(engine) : UpdateInstrument(engine);

  if (rc == kSettingsNotRestored) {
    // The new firmware runs: the device is left as after a success, but the settings file
    // stays for the restore that is still owed.
    const std::uint32_t seconds = (DSTicks() - start) / 1000;
    SetProgress(engine, 100);
    engine->ui->SetStatus(
        ("Updated firmware in " + std::to_string(seconds) + " seconds; settings not all restored.")
            .c_str());
    engine->ui->PumpMessages();
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "Finished updating device in %d seconds; not every setting was restored, %s kept",
             static_cast<int>(seconds), engine->settingsFilePath.c_str());
    engine->connectText = "You may disconnect your " + engine->targetDisplayName + " now.";
  } else if (rc < 0) {
    engine->ui->HideStatus();
    SetProgress(engine, 0);
    const char grave = '`';
    std::uint32_t written = 0;
    DSWrite(&engine->session->link, &grave, 1, &written);
    BSLTakeBack(engine->host.get());
    // A loader port of the engine's own left open would lock the next attempt out.
    BSLDisconnect(engine->host.get());
    DPLogout(engine->session.get(), 0);
    engine->connectText = "Connect " + engine->targetDisplayName + " to computer comm port.";
  } else {
    const std::uint32_t seconds = (DSTicks() - start) / 1000;
    if (engine->profile.calibrationNotice) ShowPostUpdateNotice(engine, engine->profile.type);
    SetProgress(engine, 100);
    engine->ui->SetStatus(
        ("Successfully updated firmware in " + std::to_string(seconds) + " seconds.").c_str());
    engine->ui->Beep(64);
    engine->ui->PumpMessages();
    LogPrint(engine->log.get(), kLogFailure, kHostSource, "Finished updating device in %d seconds",
             static_cast<int>(seconds));
    // Every captured setting is back. A run that went on without settings owns no file.
    if (!engine->settingsSkipped) std::remove(engine->settingsFilePath.c_str());
    engine->connectText = "You may disconnect your " + engine->targetDisplayName + " now.";
  }
  engine->ui->SetConnectText(engine->connectText.c_str());
  engine->newSerialNumber.clear();
  engine->updating = false;
  return rc;
}

}  // namespace

Status RunUpdate(UpdaterEngine* engine) {
  engine->lastErrorCaption.clear();
  engine->stage = UpdateStage::kConnect;
  const std::time_t start = std::time(nullptr);
  Status rc = CheckImageBeforeUpdate(engine);
  const bool deviceReached = rc >= 0;
  if (deviceReached) rc = RunUpdateSequence(engine);
  UpdateRecord record = DescribeUpdate(*engine, rc, start, std::time(nullptr));
  if (!deviceReached) {
    // Refused before the port was opened: what the session holds is an earlier unit's.
    record.device = engine->targetDisplayName;
    record.serial.clear();
    record.firmwareBefore = 0;
    record.firmwareAfter = 0;
    record.settingsCaptured = "none";
  }
  WriteUpdateRecord(engine, record);
  return rc;
}

namespace {

bool IsReservedWindowsName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
         base[3] >= '0' && base[3] <= '9';
}

}  // namespace

std::string StationUnitFolder(const std::string& port) {
  std::string name;
  bool kept = !port.empty() && port[0] != '.' && !IsReservedWindowsName(port);
  for (char c : port) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    name.push_back(plain ? c : '_');
    kept = kept && plain;
  }
  if (kept) return name;
  // A kept name holds no "_", so a checked one never meets it; without a "." the check
  // is part of the name Windows looks at, never an extension after a device name.
  for (char& c : name) c = c == '.' ? '_' : c;
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : port) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  const std::size_t first = name.find_first_not_of('_');
  char check[24];
  std::snprintf(check, sizeof check, "_%012llx",
                static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
  return (first == std::string::npos ? std::string("port") : name.substr(first)) + check;
}

std::string VersionText(std::uint32_t hundredths) {
  char text[24];
  std::snprintf(text, sizeof text, "%u.%02u", static_cast<unsigned>(hundredths / 100),
                static_cast<unsigned>(hundredths % 100));
  return text;
}

}  // namespace quendal
