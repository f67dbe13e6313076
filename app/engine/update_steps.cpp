// The steps both update sequences take between the loader's start and the restore, so that
// the stage order, which decides what an interruption leaves behind, is kept in one place.
#include "app/engine/updater_engine.h"
#include "host/timing.h"
#include "instrument/attempt_record.h"
#include "loader/bsl_engine.h"

namespace quendal {

Status LoaderStartFailed(UpdaterEngine* engine, Status rc, Status noLoader,
                         const std::string& device) {
  if (rc == noLoader) {
    ShowMessageOk(engine,
                  "This " + device + " does not have a working firmware loader." +
                      "\n\nPlease contact Orvelle for help.",
                  "Firmware Loader Error", kMessageError);
    return noLoader;
  }
  ShowMessageOk(engine,
                "The " + engine->WindowCaption() +
                    " is unable to connect to the firmware loader in your " +
                    engine->attempt->target + ".\n\nPlease try again.",
                "Firmware Loader Error", kMessageError);
  return kHandshakeFailed;
}

Status LoaderStepFailed(UpdaterEngine* engine, Status code, const char* caption) {
  if (code == kCancelled && engine->attempt->stopRequested) return StoppedOnRequest(engine);
  ShowMessageOk(engine,
                "The " + engine->WindowCaption() + " encountered an error working with your " +
                    engine->attempt->target + ".\n\nPlease try again.\n\n[Error " +
                    std::to_string(code) + "]",
                caption, kMessageError);
  return code;
}

Status TransferFirmwareStep(UpdaterEngine* engine, std::uint32_t pauseBeforeUploadMs) {
  HostBSL* host = engine->host.get();
  UpdateAttempt* a = engine->attempt.get();
  const DeviceProfile& p = a->profile;
  auto failure = [engine](Status code, const char* caption) {
    return LoaderStepFailed(engine, code, caption);
  };
  if (!EnterStage(engine, UpdateStage::kErase)) return StoppedOnRequest(engine);
  StepProgress(engine, 2);
  SetStatus(engine, "Erasing firmware memory...");
  Status rc =
      BSLEraseINFO(host, p.infoStart, p.infoSegments, p.infoSegmentSize, p.extendedAddresses);
  if (rc < 0) return failure(rc, "INFO Memory Erase Error");
  rc = BSLEraseFlash(host, p.flashStart, p.flashEnd, p.extendedAddresses);
  if (rc < 0) return failure(rc, "Firmware Erase Error");
  if (!EnterStage(engine, UpdateStage::kUpload)) return StoppedOnRequest(engine);
  a->progressPosition = 21.0f;
  SetProgress(engine, 21);
  SetStatus(engine, "Uploading new firmware code...");
  if (pauseBeforeUploadMs > 0) DSSleep(pauseBeforeUploadMs);
  rc = BSLSendFirmware(host, p.extendedAddresses);
  if (rc < 0) return failure(rc, "Firmware Upload Error");
  if (!EnterStage(engine, UpdateStage::kVectors)) return StoppedOnRequest(engine);
  SetStatus(engine, "Restarting the " + a->target + ", please wait...");
  rc = BSLSendVectors(host);
  if (rc < 0) return failure(rc, "Firmware Upload Error");
  EnterStage(engine, UpdateStage::kRestart);
  return kOk;
}

void BeginCheckStep(UpdaterEngine* engine) {
  EnterStage(engine, UpdateStage::kCheck);
  StepProgress(engine, 2);
  SetStatus(engine, "Checking new firmware...");
}

Status FirmwareCheckResult(UpdaterEngine* engine, Status rc, Status corrupt) {
  if (rc == corrupt) {
    ShowMessageOk(engine,
                  "The new firmware for your " + engine->attempt->target +
                      " is corrupt!\n\nPlease try again or contact Orvelle.",
                  "Firmware Error", kMessageError);
  } else if (rc < 0) {
    // Only the firmware's own verdict calls it corrupt; a line that failed says so.
    ShowUnverifiedFirmware(engine, rc);
  }
  return rc;
}

void BeginRestoreStep(UpdaterEngine* engine) {
  EnterStage(engine, UpdateStage::kRestore);
  StepProgress(engine, 2);
  SetStatus(engine, "Restoring settings...");
}

bool SettingsFileIsThisUnits(UpdaterEngine* engine) {
  if (engine->session->captured) return true;
  return EarlierFileIsThisUnit(engine, HeldUnit(engine->session.get()));
}

}  // namespace quendal
