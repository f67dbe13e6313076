// The update of one instrument over its own shell and resident loader.
#include <cstdlib>
#include <cstring>

#include "app/engine/type_texts.h"
#include "app/engine/updater_engine.h"
#include "host/timing.h"
#include "instrument/settings_capture.h"
#include "loader/bsl_engine.h"
#include "logger/logger_link.h"

namespace quendal {
namespace {

constexpr std::uint32_t kCommandAnswerSize = 512;

std::string ConnectionText(UpdaterEngine* engine, Status rc) {
  UpdateAttempt* a = engine->attempt.get();
  const std::string port = a->options.portDescription;
  const std::string caption = engine->WindowCaption();
  const std::string target = engine->targetDisplayName;
  const std::string head = "The " + caption + " is unable to connect to your " + target +
                           "\n on Comm Port \"" + port +
                           "\".\n\nPlease check your serial cable and Comm Port choice.";
  if (std::string text = PortProblemText(port, rc); !text.empty()) return text;
  switch (rc) {
    case kNothingListening:
    case kNoAnswer:
      if (const char* hint = TypeTextsOf(engine->build.targetType).connectHint) {
        return head + "\n\nIf your " + target + hint;
      }
      return head;
    case kNotSupported:
      if (a->profile.version != 0 && a->profile.type != 0) {
        return "The " + caption + " does not support your " + a->profile.displayName.c_str() +
               "\n" + "running version " + std::to_string(a->profile.version) + ".";
      }
      return "The " + caption + " is unable to connect to your unknown device" +
             "\n on Comm Port \"" + port +
             "\".\n\nPlease check your serial cable and Comm Port choice.\n\n" +
             "Please verify the device connected is a \"" + target +
             "\" and has a version of\nfirmware that supports updates.";
    case kLoginFailed:
      return "The " + caption + " is unable to log into to your " + target + "\n on Comm Port \"" +
             port + "\".\n\nPlease try again or contact your Orvelle representative.";
    default:
      return head + "\nError " + std::to_string(rc);
  }
}

Status Command(UpdaterEngine* engine, const char* command, std::uint32_t timeoutMs, char* answer) {
  std::uint32_t length = kCommandAnswerSize - 1;
  return DeviceCommand(&engine->session->link, command, '>', timeoutMs, answer, &length, nullptr);
}

void ShowRestoreFailure(UpdaterEngine* engine, Status rc) {
  UpdateAttempt* a = engine->attempt.get();
  const std::string caption = engine->WindowCaption();
  const std::string target = engine->targetDisplayName;
  // Where the settings wait for the restore that is still owed; a missing file keeps none.
  const std::string kept = rc == kSettingsFileMissing ? std::string() : KeptFileText(*engine);
  if (rc == kSettingsFileMissing) a->settingsPhase = SettingsPhase::kNone;
  const std::string general = "The " + caption + " failed to restore the settings for your " +
                              target + ".\n\nPlease try again.\n\n[Error " + std::to_string(rc) +
                              "]" + kept;
  if (rc == kSettingsFileMissing) {
    ShowMessageOk(engine,
                  "The " + caption + " couldn't find the settings file for your " + target +
                      ".\n\nPlease try again or contact Orvelle for help.",
                  "Settings Error", kMessageError);
    ShowMessageOk(engine, general, "Settings Error", kMessageError);
  } else if (rc == kSettingsFileDenied || rc == kSettingsFileError6) {
    ShowMessageOk(engine,
                  "The " + caption + " failed to read the settings file for your " + target +
                      ".\n\nPlease try again or contact Orvelle for help." +
                      "\n\nError: " + std::to_string(rc) + kept,
                  "Settings Error", kMessageError);
  } else if (rc == kSettingsNotRestored) {
    ShowMessageOk(engine,
                  "The " + caption + " wrote the settings back into your " + target +
                      ", but the " + target + " does not hold these as they were saved:\n" +
                      engine->session->notRestored +
                      "\n\nRun the update again, or restore the settings from the kept file." +
                      "\n\n[Error " + std::to_string(rc) + "]" + kept,
                  "Settings Error", kMessageError);
  } else if (rc == kSomeFailed) {
    ShowMessageOk(engine,
                  "The " + caption + " failed to restore some of the settings for your " + target +
                      ".\n\nPlease check the settings after this updater is finished." + kept,
                  "Settings Error", kMessageError);
  } else {
    ShowMessageOk(engine, general, "Settings Error", kMessageError);
  }
}

// A loader left by an earlier attempt listens at its own speed, which the shell's connect
// at 9600 cannot hear. Probes it there after a failed connect; kLoaderActive or
// kLoaderWaiting when it answers, else the connect's result. The port is closed again.
Status ProbeLoaderAtItsSpeed(UpdaterEngine* engine, Status connectResult) {
  UpdateAttempt* a = engine->attempt.get();
  if (DSPortInUse(connectResult) || DSPortMissing(connectResult) ||
      connectResult == kMissingArgument || connectResult == kBadArgument) {
    return connectResult;
  }
  // An instrument that answered with a firmware too old is no loader.
  if (connectResult == kNotSupported && a->profile.version != 0 && a->profile.type != 0)
    return connectResult;
  DeviceProfile build;
  DescribeDevice(engine->host->deviceKind, 999, &build);
  if (build.loaderBaud == 0 || build.loaderBaud == 9600) return connectResult;
  HostBSL* host = engine->host.get();
  host->tries = 3;
  const Status found = BSLCheck(host, a->options.port.c_str(), build.loaderBaud);
  BSLDisconnect(host);
  if (found == kLoaderActive || found == kLoaderWaiting) {
    LogPrint(engine->log.get(), kLogStep, "Quendal Host",
             "Found the Quendal listening at %u baud (%d): resuming the earlier update",
             static_cast<unsigned>(build.loaderBaud), found);
    return found;
  }
  return connectResult;
}

}  // namespace

Status UpdateInstrument(UpdaterEngine* engine) {
  UpdateAttempt* a = engine->attempt.get();
  InstrumentSession* session = engine->session.get();
  HostBSL* host = engine->host.get();
  DeviceProfile& profile = a->profile;
  const std::string caption = engine->WindowCaption();
  const std::string target = engine->targetDisplayName;
  const char* port = a->options.port.c_str();

  // 1-3. Connect; a loader already listening skips everything up to the loader.
  Status rc = DPConnect(session, port, 2, 3, &profile);
  a->connectResult = rc;
  if (rc < 0 && rc != kLoaderActive && rc != kLoaderWaiting) {
    const Status found = ProbeLoaderAtItsSpeed(engine, rc);
    if (found != kLoaderActive && found != kLoaderWaiting) {
      ShowMessageOk(engine, ConnectionText(engine, rc), "Connection Error", kMessageError);
      return kNothingListening;
    }
    rc = found;
  }
  StepProgress(engine, 2);
  const bool loaderListening = rc == kLoaderActive || rc == kLoaderWaiting;
  if (loaderListening) {
    DescribeDevice(host->deviceKind, 999, &profile);
    // The restore of this run reads the earlier attempt's settings file.
    session->profileType = static_cast<std::uint8_t>(profile.type);
    session->profile = profile;
  } else {
    // 4. Device type.
    if (profile.type != host->deviceKind) {
      const std::string name = profile.displayName.c_str();
      std::string text = "The " + caption + " expected to find a " + target +
                         ";\nhowever, it found a " + name + ".\n\nThis updater can not update a " +
                         name + ".";
      if (a->options.factoryMode) {
        text += "\n\n[Factory Mode Override: Click OK to load FW anyway]";
        if (AskOkCancel(engine, text, "Wrong Device") == kBoxCancel) return kWrongDevice;
      } else {
        ShowMessageOk(engine, text, "Wrong Device", kMessageError);
        return kWrongDevice;
      }
    }
    // 5.
    if (!profile.firmwareNewEnough) {
      ShowMessageOk(engine,
                    "The firmware in the connected " + target +
                        "\nis too old.\n\nThis updater can not update this device.",
                    "Firmware Too Old", kMessageError);
      return kNotSupported;
    }
    // 6.
    if (profile.version > engine->imageVersion && !a->options.factoryMode) {
      const std::string text = "The firmware in your " + target +
                               "\nis newer than the version in this updater.\n\n" +
                               "Are you sure you want to load older firmware.";
      if (AskOkCancel(engine, text, "Newer Firmware") == kBoxCancel) return kCancelled;
    }
    SayWhenSameVersion(engine, profile.version);
    // 7. A running test must not lose its data.
    if (TypeTextsOf(engine->build.targetType).checksRunningTest) {
      char answer[kCommandAnswerSize] = {};
      if (Command(engine, "ping -stat\r", 2200, answer) >= 0 &&
          std::strtol(answer, nullptr, 10) != -1) {
        ShowMessageOk(engine,
                      std::string("Your CVV is currently running a test.\n\n") +
                          "Please stop the test and save the measurement\n data before updating "
                          "the CVV firmware.",
                      "Test Running Error", kMessageError);
        return kCancelled;
      }
    }
    // 8.
    if (!CheckHardwareRevision(engine)) return kNotSupported;
    if (!CheckFirmwareRange(engine, profile)) return kNotSupported;
    // 9.
    if (profile.checksBattery) {
      rc = CheckBatteryStep(engine, session, "Checking battery power...",
                            "The battery power is too low!");
      if (rc < 0) return rc;
    }
    // 10.
    StepProgress(engine, 2);
  }
  // A loader found listening has the device half updated already.
  if (!EnterStage(engine, loaderListening ? UpdateStage::kLoaderStart : UpdateStage::kSave))
    return StoppedOnRequest(engine);
  // 11. Settings.
  if (!loaderListening && profile.savesSettings) {
    SetStatus(engine, "Saving settings for this " + target + "...");
    if (profile.needsLogin) {
      rc = DPLogin(session);
      if (rc < 0) {
        ShowMessageOk(engine, RetrieveErrorText(*engine), "Login Error", kMessageError);
        return rc;
      }
    }
    rc = SaveSettingsStep(engine);
    if (rc < 0) return rc;
  }
  // 12.
  DPLogout(session, 0);
  SetProgress(engine, 6);
  if (!EnterStage(engine, UpdateStage::kLoaderStart)) return StoppedOnRequest(engine);
  // 13. The loader.
  SetStatus(engine, "Starting the firmware loader...");
  if (profile.savesSettings) {
    rc = MarkEraseStep(engine, !loaderListening);
    if (rc < 0) return rc;
  }
  rc = BSLConnect(host, port, profile.loaderBaud, true, 3);
  if (rc < 0) return LoaderStartFailed(engine, rc, kNoLoader, target);
  // 14-18.
  rc = TransferFirmwareStep(engine, 0);
  if (rc < 0) return rc;
  // 19.
  BSLDisconnect(host);
  DSSleep(profile.restartWaitMs);
  SetProgress(engine, 92);
  engine->ui->PumpMessages();
  // 20. Reconnect, waiting longer after each failed attempt.
  DeviceProfile reconnected;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    rc = DPConnect(session, port, 2, 3, &reconnected);
    if (rc > 0) break;
    DSSleep(static_cast<std::uint32_t>(attempt - 1) * 1500);
  }
  if (rc < 0) return LoaderStepFailed(engine, rc, "Connection Error");
  // 21.
  if (profile.needsLogin && DPLogin(session) < 0) {
    ShowMessageOk(engine,
                  "This " + caption + " failed to log into your " + target +
                      ".\nPlease check the settings on your instrument or contact Orvelle for "
                      "help.",
                  "Login Error", kMessageError);
  }
  // 22.
  BeginCheckStep(engine);
  rc = FirmwareCheckResult(engine, DPCheckFirmware(session, profile.firmwareCheck ? 1 : 0),
                           kCodeCorrupt);
  if (rc < 0) return rc;
  // 23. Records the new firmware lays out anew.
  if (engine->build.recordReset != RecordReset::kNone) {
    char answer[kCommandAnswerSize] = {};
    const RecordReset reset = engine->build.recordReset;
    const char* command = reset == RecordReset::kEqn     ? "reset -eqn\r"
                          : reset == RecordReset::kUsers ? "reset -users\r"
                                                         : "set -act 30\r";
    const std::uint32_t timeout = reset == RecordReset::kEqn     ? 2200
                                  : reset == RecordReset::kUsers ? 2 * profile.restartWaitMs
                                                                 : 1100;
    Status reply = Command(engine, command, timeout, answer);
    if (reply < 0) {
      const std::string code = std::to_string(reply);
      if (reset == RecordReset::kEqn) {
        ShowMessageOk(engine, "Resetting equation records caused an error: " + code,
                      "Reset Records Error", kMessageError);
      } else if (reset == RecordReset::kUsers) {
        ShowMessageOk(engine, "Resetting user records caused an error: " + code,
                      "Reset Records Error", kMessageError);
      } else {
        ShowMessageOk(engine, "Resetting the actuator parameter returned error: " + code,
                      "Reset Actuator Error", kMessageError);
      }
    }
  }
  // 24-26. Settings back.
  BeginRestoreStep(engine);
  const UpdateOptions& options = a->options;
  const bool newSerial = options.replaceSerialNumber && !options.newSerialNumber.empty();
  if (a->settingsSkipped && newSerial) {
    a->settingsSkipped = false;
    session->captured = 1;
    session->info.knownMask = 2;
    session->settings.mask = 2;
    session->settings.typeCode = 0;
  }
  bool restored = true;
  if (profile.savesSettings && !a->settingsSkipped) {
    // Taking up an earlier attempt: its file must be this instrument's.
    restored = SettingsFileIsThisUnits(engine);
    if (restored) {
      rc = DPRestoreInfo(session, a->settingsFile.c_str(),
                         newSerial ? options.newSerialNumber.c_str() : nullptr);
      if (rc < 0) {
        restored = false;
        ShowRestoreFailure(engine, rc);
      }
    }
  }
  // 27-28.
  if (profile.setsClock) DPSetTime(session);
  StepProgress(engine, 2);
  // 29.
  if (profile.erasesOldData && !a->options.dontEraseData) {
    SetStatus(engine, "Erasing old data...");
    rc = DPEraseData(session);
    if (rc == kIdentityMismatch && session->link.info.name.c_str()[0] == '\0') {
      // A logger never given a name fails the erase's identity check every time: another
      // try cannot help, and the new firmware is in.
      ShowMessageOk(engine,
                    "The " + caption + " did not erase the data in your " + target +
                        " because it has not been initialised yet (it has no name).\n\n" +
                        "The new firmware is installed. Initialise the " + target +
                        " with your logger software, and erase its data there if needed.",
                    "Data Not Erased", kMessageWarning);
    } else if (rc < 0) {
      const std::string head = "The " + caption + " was unable to erase the data in your " + target;
      ShowMessageOk(engine,
                    rc == kDataFlashBroken
                        ? head + "because the data storage chip is reporting errors.\n\n" +
                              "Please contact Orvelle for help."
                        : head + ".\nPlease try again.\n[Error: " + std::to_string(rc) + "]",
                    "Data Erase Error", kMessageError);
      return rc;
    }
  }
  // 30.
  if (session->settings.adc.empty() || !(session->settings.adc == "50.98")) {
    profile.calibrationNotice = true;
  }
  // 31.
  DPLogout(session, 1);
  return restored ? kOk : kSettingsNotRestored;
}

}  // namespace quendal
