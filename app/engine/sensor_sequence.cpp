// The update of one SDI-12 digital sensor behind a comm device.
#include <cstring>

#include "app/engine/updater_engine.h"
#include "host/timing.h"
#include "instrument/settings_capture.h"
#include "loader/bsl_engine.h"
#include "logger/logger_link.h"
#include "sdi12/sdi_sensor.h"

namespace quendal {
namespace {

void WriteByte(UpdaterEngine* engine, char byte) {
  std::uint32_t written = 0;
  DSWrite(&engine->session->link, &byte, 1, &written);
}

std::string ConnectionText(UpdaterEngine* engine, Status rc) {
  const std::string port = engine->selectedPortDescription;
  const std::string head =
      "The " + engine->WindowCaption() + " is unable to connect to your communication device" +
      "\n on Comm Port \"" + port + "\".\n\nPlease check your serial cable and Comm Port choice.";
  if (std::string text = PortProblemText(port, rc); !text.empty()) return text;
  if (rc == kNothingListening) return head;
  return head + "\nError " + std::to_string(rc);
}

// The first character among the first 32 of `text` that is not white space; 0 when none.
char FirstVisible(const char* text) {
  for (int i = 0; i < 32 && text[i] != '\0'; ++i) {
    if (!std::strchr(" \t\r\n\v\f", text[i])) return text[i];
  }
  return 0;
}

bool SensorTypeFits(std::int32_t selected, std::uint8_t type) {
  switch (selected) {
    case 260:
      return type == 's' || type == 'r' || type == 'o' || type == 'n';
    case 261:
      return type == 'y' || type == 'l';
    case 262:
      return type == 't' || type == 'j' || type == 'i';
    default:
      return type == selected;
  }
}

// Opens the port for one grave accent after the failed connect that `connectResult` names;
// false when there is no port to send it on.
bool SendGraveAccent(UpdaterEngine* engine, Status connectResult) {
  if (DSPortInUse(connectResult) || DSPortMissing(connectResult) ||
      connectResult == kMissingArgument || connectResult == kBadArgument) {
    return false;
  }
  DeviceLink link;
  link.log = engine->log.get();
  const bool opened = DSOpen(&link, engine->selectedPortName.c_str(), 9600) >= 0;
  if (opened) {
    // On SDI-12 the comm device takes a grave accent as part of a command that never got
    // its "!": the bus wake before it ends such a command.
    const char bytes[] = "|`";
    std::uint32_t written = 0;
    DSWrite(&link, bytes, 2, &written);
    DSSleep(1000);
    LogPrint(engine->log.get(), kLogStep, "Quendal Host",
             "No shell answered (%d): sent a grave accent and trying again", connectResult);
  }
  DSClose(&link);
  return opened;
}

}  // namespace

Status UpdateDigitalSensor(UpdaterEngine* engine) {
  InstrumentSession* session = engine->session.get();
  HostBSL* host = engine->host.get();
  const std::string caption = engine->WindowCaption();
  const std::string target = engine->targetDisplayName;
  bool save = true;

  // 1. Connect. A comm device left relaying to the sensor's loader or on SDI-12 by an
  // attempt that was cut short answers for the sensor or not at all; one grave accent
  // brings its shell back.
  Status rc = DPConnect(session, engine->selectedPortName.c_str(), 2, 3, &engine->profile);
  engine->connectResult = rc;
  if (rc < 0 && SendGraveAccent(engine, rc)) {
    rc = DPConnect(session, engine->selectedPortName.c_str(), 2, 3, &engine->profile);
  }
  if (rc < 0) {
    ShowMessageOk(engine, ConnectionText(engine, rc), "Connection Error", kMessageError);
    return kNothingListening;
  }

  // 2. Is it a comm device that can reach a sensor's loader?
  const std::uint8_t loggerType = session->info.loggerType;
  const std::string deviceName = engine->profile.displayName.c_str();
  if (loggerType != kLoggerKyrelCommDev) {
    if (loggerType != kLoggerReadvane) {
      ShowMessageOk(engine,
                    "The " + caption + " expected to find an Kyrel Comm Device (KCD or Readvane)" +
                        ";\nhowever, it found a " + deviceName +
                        ".\n\nThis updater can not work with a " + deviceName + ".",
                    "Wrong Device", kMessageError);
      return kWrongDevice;
    }
    char answer[33] = {};
    std::uint32_t length = 32;
    Status hver = DeviceCommand(&session->link, "get -hver\r", '>', 1100, answer, &length, nullptr);
    char revision = hver >= 1 ? FirstVisible(answer) : 0;
    const bool suitable = hver >= 1 && session->info.versionNumber >= 123 &&
                          static_cast<unsigned char>(revision) >= 66;
    if (!suitable) {
      // A revision never read shows as "?" rather than as a NUL that would cut the text.
      const char shown = revision != 0 ? revision : '?';
      ShowMessageOk(
          engine,
          "Your " + deviceName + " version " +
              VersionText(static_cast<std::uint32_t>(session->info.versionNumber)) +
              " with hardware revision '" + std::string(1, shown) + "' " +
              "doesn't\nsupport bootstrapping digital sensors.\n\nPlease use a supported Kyrel "
              "Comm Device (KCD or Readvane)",
          "Wrong Device Version", kMessageError);
      return kNotSupported;
    }
  }

  // 3. Battery.
  StepProgress(engine, 2);
  rc = CheckBatteryStep(engine, session, "Checking KCD battery power...",
                        "The battery power in the KCD is too low!");
  if (rc < 0) return rc;

  // 4. Lend the open port to the loader engine.
  StepProgress(engine, 2);
  rc = BSLHandOff(host, session->link.handle, session->link.readBuffer,
                  session->link.portName.c_str(), true, 10);
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + caption + " is unable to start the Quendal engine.\n\nPlease try again.",
                  "Firmware Loader Error", kMessageError);
    return rc;
  }

  // 5. Is the sensor's loader already there, from an earlier attempt?
  WriteByte(engine, ']');
  DSSleep(500);
  rc = BSLCheck(host, engine->selectedPortName.c_str(), 9600);
  if (rc == kLoaderWaiting) {
    WriteByte(engine, '`');
    DSSleep(1000);
    // A loader with no firmware to go back to (an upload cut short) keeps waiting: then
    // its settings can only come from the earlier attempt's file, as for an active one.
    WriteByte(engine, ']');
    DSSleep(500);
    Status again = BSLCheck(host, engine->selectedPortName.c_str(), 9600);
    if (again == kLoaderWaiting || again == kLoaderActive) {
      LogPrint(engine->log.get(), kLogStep, "Quendal Host",
               "The sensor's loader is still waiting (%d): resuming the earlier update", again);
      save = false;
    }
  } else if (rc == kLoaderActive) {
    save = false;
  }

  // 6.
  session->profileType = kTypeDigitalSensor;
  DescribeDevice(host->deviceKind, 999, &engine->profile);

  if (save) {
    if (!EnterStage(engine, UpdateStage::kSave)) return StoppedOnRequest(engine);
    // 8. Settings.
    SetStatus(engine, "Saving settings for this digital sensor...");
    WriteByte(engine, '[');
    DSSleep(500);
    SaveOutcome saved;
    rc = DPSaveInfo(session, engine->settingsFilePath.c_str(), &saved);
    if (Status check = AfterSaveStep(engine, saved, rc); check < 0) return check;
    if (rc < 0) {
      if (engine->openFileAllowed || engine->factoryMode) {
        const std::string text =
            "The " + caption + " could not retrieve the settings from your " + target +
            ".\nThis can happen when an intrument is new or doesn't have " +
            "a serial number set yet.\n\nClick OK to continue loading new firmware." +
            "\nClick CANCEL to try retrieving the settings again.";
        if (AskOkCancel(engine, text, "Settings Retrieve Error") == kBoxCancel) return kCancelled;
        engine->settingsSkipped = true;
      } else {
        ShowMessageOk(engine,
                      "This " + caption + " could not retrieve the settings from your " + target +
                          ".\nPlease try again or contact Orvelle for help.",
                      "Settings Error", kMessageError);
        return rc;
      }
    }

    // 9-10. Version rules.
    DescribeDevice(host->deviceKind, session->sdi.firmwareVersion, &engine->profile);
    if (!CheckFirmwareRange(engine, engine->profile)) return kNotSupported;

    // 11.
    if (engine->profile.version > engine->imageVersion) {
      const std::string text = "The firmware in your " + target +
                               "\nis newer than the version in this updater.\n\n" +
                               "Are you sure you want to load older firmware.";
      if (AskOkCancel(engine, text, "Newer Firmware") == kBoxCancel) return kCancelled;
    }

    // 12. Sensor type.
    if (!SensorTypeFits(engine->sensorTypeCode, session->sdi.typeCode)) {
      BoundedText<32> claimed;
      SensorName(session->sdi.typeCode, &claimed);
      const std::string text = "The attached sensor is claiming to be a \"" +
                               std::string(claimed.c_str()) + "\"\n\n" +
                               "This firmware updater is for a \"" + target + "\".\n\n" +
                               "Are you sure you want to load the firmware for a " + target + "?\n";
      if (AskOkCancel(engine, text, "Wrong Sensor Type") == kBoxCancel) return kCancelled;
    }

    // 13-14. Start the sensor's loader.
    if (!EnterStage(engine, UpdateStage::kLoaderStart)) return StoppedOnRequest(engine);
    SetProgress(engine, 6);
    SetStatus(engine, "Starting the firmware loader...");
    rc = MarkEraseStep(engine, true);
    if (rc < 0) return rc;
    rc = SDIInvokeQuendal(&session->sdi);
    if (rc == kNoSensorLoader) {
      ShowMessageOk(engine,
                    std::string("This digital sensor does not have a working firmware loader.") +
                        "\n\nPlease contact Orvelle for help.",
                    "Firmware Loader Error", kMessageError);
      return kNoSensorLoader;
    }
    if (rc < 0) {
      ShowMessageOk(engine,
                    "The " + caption + " is unable to connect to the firmware loader in your " +
                        target + ".\n\nPlease try again.",
                    "Firmware Loader Error", kMessageError);
      return kHandshakeFailed;
    }
  }

  // 15.
  if (!EnterStage(engine, UpdateStage::kLoaderStart)) return StoppedOnRequest(engine);
  if (!save) {
    rc = MarkEraseStep(engine, false);
    if (rc < 0) return rc;
  }
  rc = BSLAttach(host);
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + caption + " is unable to connect to the firmware loader in your " +
                      target + ".\n\nPlease try again.",
                  "Firmware Loader Error", kMessageError);
    return kHandshakeFailed;
  }

  // 16-19. Erase, upload, restart.
  const DeviceProfile& p = engine->profile;
  const std::string eraseText = "The " + caption + " encountered an error working with your " +
                                target + ".\n\nPlease try again.\n\n[Error ";
  auto loaderFailure = [&](Status code, const char* failureCaption) {
    if (code == kCancelled && !engine->keepGoing) return StoppedOnRequest(engine);
    ShowMessageOk(engine, eraseText + std::to_string(code) + "]", failureCaption, kMessageError);
    return code;
  };
  if (!EnterStage(engine, UpdateStage::kErase)) return StoppedOnRequest(engine);
  StepProgress(engine, 2);
  SetStatus(engine, "Erasing firmware memory...");
  rc = BSLEraseINFO(host, p.infoStart, p.infoSegments, p.infoSegmentSize, p.extendedAddresses);
  if (rc < 0) return loaderFailure(rc, "INFO Memory Erase Error");
  rc = BSLEraseFlash(host, p.flashStart, p.flashEnd, p.extendedAddresses);
  if (rc < 0) return loaderFailure(rc, "Firmware Erase Error");
  if (!EnterStage(engine, UpdateStage::kUpload)) return StoppedOnRequest(engine);
  engine->progressPosition = 21.0f;
  SetProgress(engine, 21);
  SetStatus(engine, "Uploading new firmware code...");
  DSSleep(100);
  rc = BSLSendFirmware(host, p.extendedAddresses);
  if (rc < 0) return loaderFailure(rc, "Firmware Upload Error");
  if (!EnterStage(engine, UpdateStage::kVectors)) return StoppedOnRequest(engine);
  SetStatus(engine, "Restarting the " + target + ", please wait...");
  rc = BSLSendVectors(host);
  if (rc < 0) return loaderFailure(rc, "Firmware Upload Error");
  EnterStage(engine, UpdateStage::kRestart);

  // 20-21. Back on SDI-12: does the new firmware pass its own check?
  SetProgress(engine, 92);
  engine->ui->PumpMessages();
  BSLTakeBack(host);
  WriteByte(engine, '[');
  EnterStage(engine, UpdateStage::kCheck);
  StepProgress(engine, 2);
  SetStatus(engine, "Checking new firmware...");
  DSSleep(1000);
  rc = SDICheckBinary(&session->sdi);
  if (rc == kFirmwareCorrupt) {
    ShowMessageOk(engine,
                  "The new firmware for your " + target +
                      " is corrupt!\n\nPlease try again or contact Orvelle.",
                  "Firmware Error", kMessageError);
    return kFirmwareCorrupt;
  }
  if (rc < 0) {
    ShowUnverifiedFirmware(engine, rc);
    return rc;
  }

  // 22-23. The sensor's own settings back; failures here no longer undo the update, but
  // the settings file stays until every setting is back.
  EnterStage(engine, UpdateStage::kRestore);
  StepProgress(engine, 2);
  SetStatus(engine, "Restoring settings...");
  bool restored = true;
  if (!session->captured && !engine->settingsSkipped) {
    // Taking up an earlier attempt: its file must be this sensor's.
    SDIGetSensorType(&session->sdi);
    SDIGetSensorSN(&session->sdi);
    restored = EarlierFileIsThisUnit(engine, HeldUnit(session));
  }
  if (restored && !engine->settingsSkipped) {
    rc = DPRestoreInfo(session, engine->settingsFilePath.c_str(), nullptr);
    if (rc < 0) {
      restored = false;
      ShowMessageOk(engine,
                    "The " + caption + " failed to restore the calibration and address\n" +
                        "for your " + target +
                        ".\n\nPlease calibrate this sensor and check the address.\n\n[Error " +
                        std::to_string(rc) + "]" + NotRestoredText(*session) +
                        KeptFileText(*engine),
                    "Settings Error", kMessageError);
    }
  }
  // A sensor busy with the restore may refuse the first try.
  rc = SDISetSensorType(&session->sdi, static_cast<std::uint32_t>(engine->sensorTypeCode));
  if (rc < 0 && rc != kBadArgument) {
    DSSleep(500);
    rc = SDISetSensorType(&session->sdi, static_cast<std::uint32_t>(engine->sensorTypeCode));
  }
  if (rc < 0) {
    ShowMessageOk(engine,
                  "The " + caption + " failed to set the sensor type for your " + target +
                      ".\n\nThe sensor type will be auto-determined by the firmware.\n\n[Error " +
                      std::to_string(rc) + "]",
                  "Settings Error", kMessageError);
  }

  // 24.
  StepProgress(engine, 2);
  WriteByte(engine, '`');
  DPLogout(session, 0);
  return restored ? kOk : kSettingsNotRestored;
}

}  // namespace quendal
