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
  UpdateAttempt* a = engine->attempt.get();
  const std::string port = a->options.portDescription;
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

// Opens the port for one grave accent after the failed connect that `connectResult` names;
// false when there is no port to send it on.
bool SendGraveAccent(UpdaterEngine* engine, Status connectResult) {
  UpdateAttempt* a = engine->attempt.get();
  if (DSPortInUse(connectResult) || DSPortMissing(connectResult) ||
      connectResult == kMissingArgument || connectResult == kBadArgument) {
    return false;
  }
  DeviceLink link;
  link.log = engine->log.get();
  const bool opened = DSOpen(&link, a->options.port.c_str(), 9600) >= 0;
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
  UpdateAttempt* a = engine->attempt.get();
  InstrumentSession* session = engine->session.get();
  HostBSL* host = engine->host.get();
  const std::string caption = engine->WindowCaption();
  const std::string target = engine->targetDisplayName;
  bool save = true;

  // 1. Connect. A comm device left relaying to the sensor's loader or on SDI-12 by an
  // attempt that was cut short answers for the sensor or not at all; one grave accent
  // brings its shell back.
  Status rc = DPConnect(session, a->options.port.c_str(), 2, 3, &a->profile);
  a->connectResult = rc;
  if (rc < 0 && SendGraveAccent(engine, rc)) {
    rc = DPConnect(session, a->options.port.c_str(), 2, 3, &a->profile);
  }
  if (rc < 0) {
    ShowMessageOk(engine, ConnectionText(engine, rc), "Connection Error", kMessageError);
    return kNothingListening;
  }

  // 2. Is it a comm device that can reach a sensor's loader?
  const std::uint8_t loggerType = session->info.loggerType;
  const std::string deviceName = a->profile.displayName.c_str();
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
  rc = BSLCheck(host, a->options.port.c_str(), 9600);
  if (rc == kLoaderWaiting) {
    WriteByte(engine, '`');
    DSSleep(1000);
    // A loader with no firmware to go back to (an upload cut short) keeps waiting: then
    // its settings can only come from the earlier attempt's file, as for an active one.
    WriteByte(engine, ']');
    DSSleep(500);
    Status again = BSLCheck(host, a->options.port.c_str(), 9600);
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
  DescribeDevice(host->deviceKind, 999, &a->profile);

  if (save) {
    if (!EnterStage(engine, UpdateStage::kSave)) return StoppedOnRequest(engine);
    // 8. Settings.
    SetStatus(engine, "Saving settings for this digital sensor...");
    WriteByte(engine, '[');
    DSSleep(500);
    rc = SaveSettingsStep(engine);
    if (rc < 0) return rc;

    // 9-10. Version rules.
    DescribeDevice(host->deviceKind, session->sdi.firmwareVersion, &a->profile);
    if (!CheckFirmwareRange(engine, a->profile)) return kNotSupported;
    SayWhenSameVersion(engine, session->sdi.firmwareVersion);

    // 11.
    if (a->profile.version > engine->imageVersion) {
      const std::string text = "The firmware in your " + target +
                               "\nis newer than the version in this updater.\n\n" +
                               "Are you sure you want to load older firmware.";
      if (AskOkCancel(engine, text, "Newer Firmware") == kBoxCancel) return kCancelled;
    }

    // 12. Sensor type.
    if (!SensorTypeFits(a->options.sensorTypeCode, session->sdi.typeCode)) {
      const std::string text = "The attached sensor is claiming to be a \"" +
                               SensorKindName(*engine) + "\"\n\n" +
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
    if (rc < 0) return LoaderStartFailed(engine, rc, kNoSensorLoader, "digital sensor");
  }

  // 15.
  if (!EnterStage(engine, UpdateStage::kLoaderStart)) return StoppedOnRequest(engine);
  if (!save) {
    rc = MarkEraseStep(engine, false);
    if (rc < 0) return rc;
  }
  rc = BSLAttach(host);
  if (rc < 0) return LoaderStartFailed(engine, rc, kOk, target);

  // 16-19. Erase, upload, restart.
  rc = TransferFirmwareStep(engine, 100);
  if (rc < 0) return rc;

  // 20-21. Back on SDI-12: does the new firmware pass its own check?
  SetProgress(engine, 92);
  engine->ui->PumpMessages();
  BSLTakeBack(host);
  WriteByte(engine, '[');
  BeginCheckStep(engine);
  DSSleep(1000);
  rc = FirmwareCheckResult(engine, SDICheckBinary(&session->sdi), kFirmwareCorrupt);
  if (rc < 0) return rc;

  // 22-23. The sensor's own settings back; failures here no longer undo the update, but
  // the settings file stays until every setting is back.
  BeginRestoreStep(engine);
  bool restored = true;
  if (!session->captured && !a->settingsSkipped) {
    // Taking up an earlier attempt: its file must be this sensor's.
    SDIGetSensorType(&session->sdi);
    SDIGetSensorSN(&session->sdi);
    restored = SettingsFileIsThisUnits(engine);
  }
  if (restored && !a->settingsSkipped) {
    rc = DPRestoreInfo(session, a->settingsFile.c_str(), nullptr);
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
  rc = SDISetSensorType(&session->sdi, static_cast<std::uint32_t>(a->options.sensorTypeCode));
  if (rc < 0 && rc != kBadArgument) {
    DSSleep(500);
    rc = SDISetSensorType(&session->sdi, static_cast<std::uint32_t>(a->options.sensorTypeCode));
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
