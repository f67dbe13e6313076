// The steps both sequences take around the settings file, so that the settings survive
// every failed attempt and never reach another unit.
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/engine/updater_engine.h"
#include "host/file_path.h"
#include "host/file_lock.h"
#include "host/timing.h"
#include "instrument/attempt_record.h"
#include "instrument/settings_capture.h"
#include "logger/logger_link.h"

namespace quendal {

std::string KeptFileText(const UpdaterEngine& engine) {
  return "\n\nThe settings are kept in:\n" + engine.attempt->settingsFile;
}

void ShowUnverifiedFirmware(UpdaterEngine* engine, Status rc) {
  ShowMessageOk(engine,
                "The " + engine->WindowCaption() + " was unable to verify the new firmware in your " +
                    engine->targetDisplayName + ".\n\nPlease try again or contact Orvelle.\n\n[Error " +
                    std::to_string(rc) + "]",
                "Firmware Error", kMessageError);
}

std::string NotRestoredText(const InstrumentSession& session) {
  if (session.notRestored.empty()) return std::string();
  return "\n\nNot as saved: " + session.notRestored;
}

Status AfterSaveStep(UpdaterEngine* engine, const SaveOutcome& outcome, Status saved) {
  if (!outcome.setAside.empty()) {
    ShowMessageOk(engine,
                  "The settings file found on this computer belongs to another unit.\n"
                  "It was not restored into this " +
                      engine->targetDisplayName + " and has been kept as:\n" + outcome.setAside +
                      "\n\nThe settings of this " + engine->targetDisplayName +
                      " are saved as usual.",
                  "Settings File Set Aside", kMessageWarning);
  }
  if (outcome.fromEarlierAttempt) {
    LogPrint(engine->log.get(), kLogFailure, kHostSource,
             "The settings of this unit from an earlier attempt in %s will be restored",
             engine->attempt->settingsFile.c_str());
  }
  if (saved == kSettingsWriteFailed) {
    ShowMessageOk(engine,
                  "The " + engine->WindowCaption() + " read the settings of your " +
                      engine->targetDisplayName + " but could not write them to\n" +
                      (outcome.failedFile.empty() ? engine->attempt->settingsFile
                                                  : outcome.failedFile) +
                      "\n(" + std::strerror(outcome.writeError) +
                      ")\n\nNothing was erased. Please free some space on the disk or choose "
                      "another data folder, and try again.",
                  "Settings Error", kMessageError);
    return kSettingsWriteFailed;
  }
  if (saved < 0 && saved != kSettingsUnfit) return kOk;  // the sequence asks or stops
  std::string problem;
  if (!SettingsRestorable(engine->session.get(), &problem)) {
    ShowMessageOk(engine,
                  "The " + engine->WindowCaption() + " could not keep the settings of your " +
                      engine->targetDisplayName + ": " + problem +
                      ", so it could not be written back after the update.\n\n"
                      "Nothing was changed. Please contact Orvelle for help.",
                  "Settings Error", kMessageError);
    return kBadArgument;
  }
  return kOk;
}

Status SaveSettingsStep(UpdaterEngine* engine) {
  UpdateAttempt* a = engine->attempt.get();
  const std::string caption = engine->WindowCaption();
  SaveOutcome saved;
  // A dry run reads as a look does: nothing set on the device, no copy kept.
  engine->session->lookOnly = a->options.dryRun;
  Status rc = DPSaveInfo(engine->session.get(), a->settingsFile.c_str(), &saved);
  engine->session->lookOnly = false;
  if (Status check = AfterSaveStep(engine, saved, rc); check < 0) return check;
  if (rc >= 0) {
    a->settingsPhase = SettingsPhase::kCaptured;
    a->settingsOfThisUnit = true;
    return rc;
  }
  if (a->options.openFileAllowed || a->options.factoryMode) {
    const std::string text =
        "The " + caption + " could not retrieve the settings from your " + a->target +
        ".\nThis can happen when an intrument is new or doesn't have " +
        "a serial number set yet.\n\nClick OK to continue loading new firmware." +
        "\nClick CANCEL to try retrieving the settings again.";
    if (AskOkCancel(engine, text, "Settings Retrieve Error") == kBoxCancel) return kCancelled;
    a->settingsSkipped = true;
    return kOk;
  }
  ShowMessageOk(engine, RetrieveErrorText(*engine), "Settings Error", kMessageError);
  return rc;
}

std::string RetrieveErrorText(const UpdaterEngine& engine) {
  return "This " + engine.WindowCaption() + " could not retrieve the settings from your " +
         engine.targetDisplayName + ".\nPlease try again or contact Orvelle for help.";
}

Status MarkEraseStep(UpdaterEngine* engine, bool captured) {
  UpdateAttempt* a = engine->attempt.get();
  const char* path = a->settingsFile.c_str();
  AttemptRecord record;
  if (ReadAttemptRecord(path, &record) < 0) return kOk;  // nothing held for this unit
  if (!captured && record.present && record.phase == AttemptPhase::kCaptured) {
    // A file whose attempt never let its unit leave the firmware is not this device's.
    std::string movedTo;
    Status rc = SetSettingsFileAside(path, &movedTo, engine->log.get());
    if (rc >= 0) {
      a->settingsPhase = SettingsPhase::kNone;
      ShowMessageOk(engine,
                    "The settings file found on this computer is not from an update of this " +
                        engine->targetDisplayName + " and will not be restored into it.\n" +
                        "It has been kept as:\n" + movedTo,
                    "Settings File Set Aside", kMessageWarning);
      return kOk;
    }
    ShowMessageOk(engine,
                  "The " + engine->WindowCaption() +
                      " could not move aside the settings file of another unit:\n" + path +
                      "\n\nNothing was erased. Please check the disk and try again.\n\n[Error " +
                      std::to_string(rc) + "]",
                  "Settings Error", kMessageError);
    return rc;
  } else if (captured && a->settingsSkipped) {
    return kOk;  // not this unit's file: the save left it alone
  }
  Status rc = MarkAttemptPhase(path, AttemptPhase::kEraseBegun, engine->log.get());
  if (rc >= 0) a->settingsPhase = SettingsPhase::kEraseBegun;
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + engine->WindowCaption() +
                      " could not record the update in the settings file\n" + path +
                      "\n\nNothing was erased. Please check the disk and try again.\n\n[Error " +
                      std::to_string(rc) + "]",
                  "Settings Error", kMessageError);
  }
  return rc;
}

bool EarlierFileIsThisUnit(UpdaterEngine* engine, const AttemptRecord& device) {
  UpdateAttempt* a = engine->attempt.get();
  const char* path = a->settingsFile.c_str();
  AttemptRecord record;
  if (ReadAttemptRecord(path, &record) < 0) return true;  // the restore reports the missing file
  if (SameUnit(record, device)) {
    a->settingsOfThisUnit = true;
    if (a->settingsPhase == SettingsPhase::kNone) a->settingsPhase = SettingsPhase::kEraseBegun;
    return true;
  }
  a->settingsPhase = SettingsPhase::kNone;
  LogPrint(engine->log.get(), kLogFailure, kHostSource,
           "The settings file is of a %s, serial \"%s\"; the device is a %s, serial \"%s\"",
           record.device.c_str(), record.serial.c_str(), device.device.c_str(),
           device.serial.c_str());
  std::string movedTo;
  if (SetSettingsFileAside(path, &movedTo, engine->log.get()) < 0) movedTo = path;
  ShowMessageOk(engine,
                "The settings file found on this computer belongs to another unit and was not "
                "restored into this " +
                    engine->targetDisplayName + ".\nIt has been kept as:\n" + movedTo,
                "Settings File Set Aside", kMessageWarning);
  return false;
}

namespace {

Status RestoreInto(UpdaterEngine* engine, const std::string& path) {
  UpdateAttempt* a = engine->attempt.get();
  // From the live settings file, the restore holds it as an update does: an update on the
  // same data folder would otherwise set it aside or delete it under the restore.
  FileLock lock;
  const std::string live =
      engine->dataFolder + kSeparator + engine->targetDisplayName + ".settings.txt";
  std::error_code error;
  if (std::filesystem::equivalent(FilePath(path), FilePath(live), error) && !error) {
    std::string holder;
    const std::string owner = "process " + std::to_string(ThisProcessId()) +
                              " restoring on port " + a->options.portDescription;
    if (lock.TryLock(live + ".lock", owner, &holder) == kSettingsFileBusy) {
      LogPrint(engine->log.get(), kLogFailure, kHostSource, "The settings file %s is held by %s",
               live.c_str(), holder.c_str());
      ShowMessageOk(engine,
                    "Another updater is updating a " + engine->targetDisplayName +
                        " with the settings file\n" + live + "\n(" +
                        (holder.empty() ? std::string("unknown process") : holder) +
                        ").\n\nNothing was changed. Let it finish, then start again.",
                    "Settings File In Use", kMessageError);
      return kSettingsFileBusy;
    }
  }
  InstrumentSession* session = engine->session.get();
  const std::string target = engine->targetDisplayName;
  const std::string caption = engine->WindowCaption();
  DiagnosticLog* log = engine->log.get();
  AttemptRecord file;
  Status rc = ReadAttemptRecord(path.c_str(), &file);
  if (rc == kSettingsFileMissing) {
    ShowMessageOk(engine,
                  "The settings file\n" + path + "\ndoes not exist. Nothing was written to the " +
                      target + ".",
                  "Settings File Missing", kMessageError);
    return rc;
  }
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + caption + " could not read the settings file\n" + path +
                      (rc == kSymbolicLink
                           ? "\n\nIt is a symbolic link, which the updater never reads through."
                           : "") +
                      "\n\n[Error " + std::to_string(rc) + "]",
                  "Settings Error", kMessageError);
    return rc;
  }
  SetStatus(engine, "Connecting to " + target + "...");
  rc = DPConnect(session, a->options.port.c_str(), 2, 3, &a->profile);
  a->connectResult = rc;
  if (rc < 0) {
    std::string text = PortProblemText(a->options.portDescription, rc);
    if (text.empty()) {
      text = "The " + caption + " is unable to connect to your " +
             (engine->IsCommDeviceBuild() ? std::string("communication device") : target) +
             "\n on Comm Port \"" + a->options.portDescription +
             "\".\n\nPlease check your serial cable and Comm Port choice.\nError " +
             std::to_string(rc);
    }
    ShowMessageOk(engine, text, "Connection Error", kMessageError);
    DPLogout(session, 0);
    return kNothingListening;
  }
  const bool sensor = engine->IsCommDeviceBuild();
  auto writeByte = [&](char byte) {
    std::uint32_t written = 0;
    DSWrite(&session->link, &byte, 1, &written);
  };
  auto finish = [&](Status result) {
    if (sensor) writeByte('`');
    DPLogout(session, sensor ? 0 : 1);
    return result;
  };
  if (sensor) {
    const std::uint8_t logger = session->info.loggerType;
    if (logger != kLoggerKyrelCommDev && logger != kLoggerReadvane) {
      ShowMessageOk(engine,
                    "The " + caption + " expected to find an Kyrel Comm Device (KCD or Readvane)" +
                        ";\nhowever, it found a " + a->profile.displayName.c_str() + ".",
                    "Wrong Device", kMessageError);
      return finish(kWrongDevice);
    }
    session->profileType = kTypeDigitalSensor;
    writeByte('[');
    DSSleep(500);
  } else if (a->profile.needsLogin && DPLogin(session) < 0) {
    ShowMessageOk(engine,
                  "This " + caption + " failed to log into your " + target +
                      ".\nPlease check the settings on your instrument or contact Orvelle for "
                      "help.",
                  "Login Error", kMessageError);
    return finish(kLoginFailed);
  }
  // What the device tells of itself decides whether the file is its own.
  SetStatus(engine, "Checking the settings file against this " + target + "...");
  rc = DPCaptureInfo(session);
  const AttemptRecord device = HeldUnit(session);
  LogPrint(log, kLogStep, kHostSource,
           "Restore of %s (%s, serial \"%s\") into a %s, serial \"%s\" (capture %d)", path.c_str(),
           file.device.c_str(), file.serial.c_str(), device.device.c_str(), device.serial.c_str(),
           static_cast<int>(rc));
  if (!SameUnit(file, device)) {
    ShowMessageOk(engine,
                  "The settings in\n" + path + "\nare of a " + file.device +
                      " with serial number \"" + file.serial + "\";\nthe connected device is a " +
                      device.device + " with serial number \"" + device.serial +
                      "\".\n\nNothing was written to the device.",
                  "Wrong Device", kMessageError);
    return finish(kWrongDevice);
  }
  a->settingsOfThisUnit = true;
  a->settingsPhase = SettingsPhase::kCaptured;
  DPForgetInfo(session);
  SetStatus(engine, "Restoring settings...");
  rc = DPRestoreInfo(session, path.c_str(), nullptr);
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + caption + " failed to restore the settings for your " + target +
                      " from\n" + path + "\n\nPlease try again.\n\n[Error " + std::to_string(rc) +
                      "]",
                  "Settings Error", kMessageError);
    return finish(kSettingsNotRestored);
  }
  a->settingsPhase = SettingsPhase::kRestored;
  engine->ui->SetStatus(("Restored the settings from " + path + ".").c_str());
  LogPrint(log, kLogFailure, kHostSource, "Restored the settings of this unit from %s",
           path.c_str());
  return finish(kOk);
}

}  // namespace

Status RestoreSettingsFrom(UpdaterEngine* engine, const std::string& path) {
  UpdateAttempt* a = BeginAttempt(engine, AttemptKind::kRestore);
  a->settingsFile = path;
  const Status rc = RestoreInto(engine, path);
  FinishAttempt(engine, rc, rc != kSettingsFileBusy && rc != kSettingsFileMissing);
  return rc;
}

}  // namespace quendal
