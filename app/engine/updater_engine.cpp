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
  if (DPCheckBattery(session, &percent) > 0 && percent < kMinimumBattery) {
    std::string figures = "\n\nThe battery reads ";
    figures += std::to_string(percent);
    figures += " %; an update needs at least ";
    figures += std::to_string(kMinimumBattery);
    figures += " %.";
    ShowMessageOk(engine,
                  std::string(firstLine) + "\n\n" +
                      "Please replace the batteries before running this updater." + figures,
                  "Batteries Too Low", kMessageError);
    return kBatteryLow;
  }
  return 0;
}

std::string PortProblemText(const std::string& port, Status rc) {
  // Checked before "in use": the system counts a port this user may not open among those.
  if (DSPortDenied(rc)) {
    return "You may not open Comm Port \"" + port + "\" (permission denied).\n" +
           "On Linux, add your user to the dialout group (sudo usermod -aG dialout $USER),\n" +
           "then log out and in again.";
  }
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
  } else {
    engine->versionFinderPath = VersionFinderPath(engine->build.targetType);
    engine->targetDisplayName = DeviceTypeDisplayName(engine->build.targetType);
    engine->longName = engine->targetDisplayName;
    engine->shortName = engine->targetDisplayName;
  }
  for (const std::string& argument : arguments) {
    if (argument == "-factory") {
      engine->options.factoryMode = true;
      engine->options.openFileAllowed = true;
    } else if (argument == "-rep") {
      engine->options.openFileAllowed = true;
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
  if (!engine->IsCommDeviceBuild()) {
    engine->host->deviceKind = static_cast<std::int8_t>(engine->build.targetType);
  }
  engine->host->progress = [engine](std::uint32_t, std::uint32_t, int, char kind) {
    return ReportLoaderProgress(engine, kind) ? 1 : 0;
  };
  engine->settingsFilePath =
      engine->dataFolder + kSeparator + engine->targetDisplayName + ".settings.txt";
  engine->progressStepW = engine->host->imageTextLength > 0
                              ? 35328.0f / static_cast<float>(engine->host->imageTextLength)
                              : 0.5569078f;
  engine->imageVersion = static_cast<std::uint32_t>(engine->host->imageVersion);
  return engine->host->constructorError;
}

void SelectPort(UpdaterEngine* engine, const std::string& name, const std::string& description) {
  engine->options.port = name;
  engine->options.portDescription = description.empty() ? name : description;
}

UpdateAttempt* BeginAttempt(UpdaterEngine* engine, AttemptKind kind) {
  // Named after the target as it stands now: a sensor type chosen during the run waits.
  engine->settingsFilePath =
      engine->dataFolder + kSeparator + engine->targetDisplayName + ".settings.txt";
  engine->attempt =
      std::make_unique<UpdateAttempt>(kind, engine->options, engine->targetDisplayName);
  UpdateAttempt* a = engine->attempt.get();
  a->settingsFile = engine->settingsFilePath;
  a->start = std::time(nullptr);
  if (const HostBSL* host = engine->host.get()) {
    a->imageName = host->imageName.c_str();
    a->imageVersion = static_cast<std::uint32_t>(host->imageVersion);
    a->imageSum = ImageTextSum(host->imageText.data(), host->imageTextLength);
    engine->host->target = &a->profile;
  }
  if (engine->session) DPForgetInfo(engine->session.get());
  a->running = true;
  return a;
}

bool Updating(const UpdaterEngine& engine) {
  return engine.attempt && engine.attempt->running;
}

void RequestStop(UpdaterEngine* engine) {
  if (Updating(*engine)) engine->attempt->stopRequested = true;
}

UpdateEnding LastEnding(const UpdaterEngine& engine) {
  return engine.attempt ? DecideEnding(*engine.attempt) : UpdateEnding{};
}

std::string ConnectText(const UpdaterEngine& engine) {
  return "Connect " + engine.shortName + " to computer comm port.";
}

std::string UserText(const UpdaterEngine& engine) {
  return "This utility updates " + engine.targetDisplayName + " firmware to";
}

void FinishAttempt(UpdaterEngine* engine, Status rc, bool deviceReached) {
  UpdateAttempt* a = engine->attempt.get();
  a->result = rc;
  a->end = std::time(nullptr);
  a->seconds = static_cast<std::uint32_t>(a->end > a->start ? a->end - a->start : 0);
  const InstrumentSession* session = engine->session.get();
  // The session keeps an earlier attempt's unit until a connect identifies another: its
  // identity counts only when this attempt's connect filled in the profile.
  if (deviceReached && session && session->profileType != kTypeUnknown &&
      a->profile.type != kTypeUnknown) {
    const AttemptRecord unit = HeldUnit(session);
    a->device = unit.device;
    a->serial = unit.serial;
    a->firmwareBefore = unit.firmware;
  }
  if (a->device.empty()) a->device = a->target;
  if (deviceReached && session) {
    a->settingsCaptured = session->captured != 0;
    if (rc == kSettingsNotRestored) a->notRestored = session->notRestored;
  }
  a->left = DeviceLeftAfter(*a);
  a->running = false;
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
  if (kind == kMessageError && Updating(*engine)) engine->attempt->lastErrorCaption = caption;
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
  const int clamped = position < 0 ? 0 : position > 100 ? 100 : position;
  if (engine->attempt) engine->attempt->progress = clamped;
  engine->ui->SetProgress(clamped);
}

void StepProgress(UpdaterEngine* engine, int step) {
  SetProgress(engine, (engine->attempt ? engine->attempt->progress : 0) + step);
}

bool ReportLoaderProgress(UpdaterEngine* engine, char letter) {
  UpdateAttempt* a = engine->attempt.get();
  if (!a) return true;
  if (letter == 'X') {
    StepProgress(engine, 1);
  } else if (letter == 'W') {
    a->progressPosition += engine->progressStepW;
    SetProgress(engine, static_cast<int>(a->progressPosition + 0.5f));
  }
  engine->ui->PumpMessages();
  return !a->stopRequested;
}

bool EnterStage(UpdaterEngine* engine, UpdateStage stage) {
  UpdateAttempt* a = engine->attempt.get();
  engine->ui->PumpMessages();
  if (a->skippedAsCurrent && stage >= UpdateStage::kSave) return false;
  // The loader's start is the first step that changes the device.
  if (a->options.dryRun && stage >= UpdateStage::kLoaderStart) {
    a->dryRunReached = true;
    if (engine->session && engine->session->captured)
      a->settingsToKeep = static_cast<int>(HeldSettingsList(*engine).size());
    return false;
  }
  if (a->stopRequested && stage <= UpdateStage::kVectors) return false;
  if (a->stage != stage) {
    a->stage = stage;
    engine->ui->StageEntered(UpdateStageName(stage));
  }
  return true;
}

Status StoppedOnRequest(UpdaterEngine* engine) {
  if (engine->attempt->skippedAsCurrent) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "Skipped: the device already runs the image's version");
    return kCancelled;
  }
  if (engine->attempt->dryRunReached) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "Dry run: every check passed; stopped before the firmware loader");
    return kCancelled;
  }
  LogPrint(engine->log.get(), kLogFailure, kHostSource, "Update stopped on request at the %s stage",
           UpdateStageName(engine->attempt->stage));
  return kCancelled;
}

std::string LeftBehindText(const UpdaterEngine& engine) {
  return LastEnding(engine).Text();
}

namespace {

// Hands the comm device back to its shell and lets go of the device. A loader port of the
// engine's own left open would lock the next attempt out.
void HandBack(UpdaterEngine* engine) {
  const char grave = '`';
  std::uint32_t written = 0;
  DSWrite(&engine->session->link, &grave, 1, &written);
  BSLTakeBack(engine->host.get());
  BSLDisconnect(engine->host.get());
  DPLogout(engine->session.get(), 0);
}

Status RunUpdateSequence(UpdaterEngine* engine) {
  UpdateAttempt* a = engine->attempt.get();
  const std::string& path = a->settingsFile;
  // The settings file is this attempt's alone from before the capture to the end: another
  // updater on the same data folder would set it aside, or delete it on its own success.
  FileLock lock;
  std::string holder;
  const std::string owner = "process " + std::to_string(ThisProcessId()) + " on port " +
                            a->options.portDescription;
  // A dry run's scratch file is under the lock of the file it stands in for.
  const Status locked = lock.TryLock(engine->settingsFilePath + ".lock", owner, &holder);
  if (locked == kSettingsFileBusy) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource, "The settings file %s is held by %s",
             path.c_str(), holder.c_str());
    ShowMessageOk(engine,
                  "Another updater is updating a " + a->target + " with the settings file\n" +
                      path + "\n(" + (holder.empty() ? std::string("unknown process") : holder) +
                      ").\n\nNothing was changed. Let it finish, then start again.",
                  "Settings File In Use", kMessageError);
    return kSettingsFileBusy;
  }
  if (locked < 0) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "The settings file %s could not be locked (error %d)", path.c_str(), locked);
  }
  SetProgress(engine, 0);
  engine->ui->SetConnectText(("Do NOT disconnect " + a->target + " until finished.").c_str());
  SetStatus(engine, "Connecting to " + a->target + "...");
  engine->ui->StageEntered(UpdateStageName(UpdateStage::kConnect));
  const std::uint32_t start = DSTicks();

  Status rc = engine->IsCommDeviceBuild() ? UpdateDigitalSensor(engine) : UpdateInstrument(engine);

  std::string connectText = "You may disconnect your " + a->target + " now.";
  if (a->skippedAsCurrent && rc == kCancelled) {
    HandBack(engine);
    // Nothing was changed: a capture made before the version was known is not owed.
    if (a->settingsPhase == SettingsPhase::kCaptured) {
      std::remove(path.c_str());
      a->settingsPhase = SettingsPhase::kNone;
    }
    engine->ui->SetStatus(("Skipped: the " + a->target + " already runs firmware " +
                           VersionText(a->firmwareBefore > 0 ? a->firmwareBefore
                                                             : engine->imageVersion) +
                           ".")
                              .c_str());
    rc = kOk;
  } else if (a->dryRunReached) {
    // Back out of the session as a refusal does; the device never left its firmware.
    HandBack(engine);
    SetProgress(engine, 0);
    engine->ui->SetStatus("Dry run finished: nothing was written to the device.");
    rc = kOk;
  } else if (rc == kSettingsNotRestored) {
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
             static_cast<int>(seconds), path.c_str());
  } else if (rc < 0) {
    engine->ui->HideStatus();
    SetProgress(engine, 0);
    HandBack(engine);
    // The line asks for the device the window was started for, as before the Start.
    connectText = ConnectText(*engine);
  } else {
    const std::uint32_t seconds = (DSTicks() - start) / 1000;
    if (a->profile.calibrationNotice) ShowPostUpdateNotice(engine, a->profile.type);
    SetProgress(engine, 100);
    engine->ui->SetStatus(
        ("Successfully updated firmware in " + std::to_string(seconds) + " seconds.").c_str());
    engine->ui->Beep(64);
    engine->ui->PumpMessages();
    LogPrint(engine->log.get(), kLogFailure, kHostSource, "Finished updating device in %d seconds",
             static_cast<int>(seconds));
    // Every captured setting is back. A run that went on without settings owns no file.
    if (!a->settingsSkipped) {
      std::remove(path.c_str());
      a->settingsPhase = SettingsPhase::kRestored;
    }
  }
  engine->ui->SetConnectText(connectText.c_str());
  return rc;
}

}  // namespace

Status RunUpdate(UpdaterEngine* engine) {
  UpdateAttempt* a = BeginAttempt(engine, AttemptKind::kUpdate);
  if (a->options.dryRun) {
    // Its own scratch file: a kept file of an earlier attempt is never touched, and nothing
    // is left behind that a later update could take for a capture.
    a->settingsFile += ".dry-run";
    std::remove(a->settingsFile.c_str());
  }
  Status rc = CheckImageBeforeUpdate(engine);
  const bool deviceReached = rc >= 0;
  if (deviceReached) rc = RunUpdateSequence(engine);
  if (a->options.dryRun) {
    std::remove(a->settingsFile.c_str());
    a->settingsPhase = SettingsPhase::kNone;
  }
  // A new serial number is for one unit.
  engine->options.newSerialNumber.clear();
  FinishAttempt(engine, rc, deviceReached);
  if (!a->options.dryRun) WriteUpdateRecord(engine, DescribeUpdate(*engine->attempt));
  return rc;
}

void SayWhenSameVersion(UpdaterEngine* engine, std::uint32_t version) {
  if (version == 0 || version != engine->imageVersion) return;
  UpdateAttempt* a = engine->attempt.get();
  std::string text = "The " + a->target + " already runs firmware ";
  text += VersionText(version);
  if (a->options.skipCurrent) {
    a->skippedAsCurrent = true;
    a->firmwareBefore = version;
    text += ", the version in this updater: it is skipped.";
  } else {
    text += ", the version in this updater: it is written again.";
  }
  LogPrint(engine->log.get(), kLogStep, kHostSource, "%s", text.c_str());
  SetStatus(engine, text);
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
