// How an attempt ended, in one place: what the device was left in and what the operator
// does next. The rules keep advice honest: a device nothing touched hears of no settings
// file, a half-written firmware is finished by the same update (a restore into it would
// fail), and only this unit's own file is ever offered for a restore.
#include "app/engine/update_attempt.h"
#include "app/engine/updater_engine.h"

namespace quendal {
namespace {

std::string Quoted(const std::string& text) {
  std::string quoted(1, '"');
  quoted += text;
  quoted.push_back('"');
  return quoted;
}

bool HoldsThisUnitsFile(const UpdateAttempt& a) {
  return !a.settingsFile.empty() && a.settingsPhase != SettingsPhase::kNone &&
         a.settingsPhase != SettingsPhase::kRestored && !a.settingsSkipped && a.settingsOfThisUnit;
}

UpdateEnding RestoreEnding(const UpdateAttempt& a, UpdateEnding ending) {
  const std::string port = a.options.portDescription;
  if (ending.left == DeviceLeft::kSettingsOwed) {
    ending.state =
        "Not every setting in " + Quoted(a.settingsFile) + " is back in the " + a.target + ".";
    ending.keptFile = a.settingsFile;
    ending.advice = "Run the restore again when the " + a.target +
                    " takes settings: quendal-cli restore --port " + port + " --from " +
                    Quoted(a.settingsFile);
  } else if (ending.left == DeviceLeft::kUnchanged && a.result < 0) {
    ending.state = "Nothing was written to the " + a.target + ".";
  }
  return ending;
}

}  // namespace

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

const char* DeviceLeftName(DeviceLeft left) {
  switch (left) {
    case DeviceLeft::kUnchanged:
      return "unchanged";
    case DeviceLeft::kFirmwareIncomplete:
      return "firmware incomplete";
    case DeviceLeft::kSettingsOwed:
      return "settings not all restored";
    case DeviceLeft::kUpdated:
      return "updated";
  }
  return "?";
}

std::string UpdateEnding::Text() const {
  if (advice.empty()) return state;
  if (state.empty()) return advice;
  return state + "\n" + advice;
}

DeviceLeft DeviceLeftAfter(const UpdateAttempt& a) {
  if (a.options.dryRun || a.skippedAsCurrent) return DeviceLeft::kUnchanged;
  if (a.result >= 0) return DeviceLeft::kUpdated;
  if (a.result == kSettingsNotRestored) return DeviceLeft::kSettingsOwed;
  // A restore or a look never takes the firmware away.
  if (a.kind != AttemptKind::kUpdate) return DeviceLeft::kUnchanged;
  if (a.stage <= UpdateStage::kSave) return DeviceLeft::kUnchanged;
  // The restore stage comes after the firmware's own check passed.
  if (a.stage == UpdateStage::kRestore) return DeviceLeft::kSettingsOwed;
  return DeviceLeft::kFirmwareIncomplete;
}

UpdateEnding DecideEnding(const UpdateAttempt& a) {
  UpdateEnding ending;
  ending.left = DeviceLeftAfter(a);
  const bool newFirmware =
      a.kind == AttemptKind::kUpdate &&
      (ending.left == DeviceLeft::kUpdated || ending.left == DeviceLeft::kSettingsOwed);
  if (newFirmware) {
    ending.firmwareAfter = a.imageVersion;
  } else if (ending.left == DeviceLeft::kUnchanged || a.kind != AttemptKind::kUpdate) {
    ending.firmwareAfter = a.firmwareBefore;
  }
  if (a.kind == AttemptKind::kRestore) return RestoreEnding(a, ending);
  if (a.kind == AttemptKind::kLook) return ending;

  const std::string again =
      "Start the update again on Comm Port " + Quoted(a.options.portDescription) + " to ";
  switch (ending.left) {
    case DeviceLeft::kUpdated:
      break;
    case DeviceLeft::kUnchanged:
      if (a.skippedAsCurrent) {
        ending.state = "The " + a.target + " already runs firmware " +
                       VersionText(a.firmwareBefore) + ": nothing was changed.";
        break;
      }
      ending.state = "The " + a.target + " was not changed: it still runs its old firmware.";
      // A refusal has said why in its own message; a stop asked for only needs the way on.
      if (a.stopRequested) ending.advice = again + "update it.";
      break;
    case DeviceLeft::kFirmwareIncomplete:
      ending.state = a.stage >= UpdateStage::kRestart
                         ? "The new firmware of the " + a.target + " could not be confirmed."
                         : "The firmware of the " + a.target +
                               " is not complete: it waits in its firmware loader.";
      if (HoldsThisUnitsFile(a)) {
        ending.advice =
            "Its settings are kept in " + Quoted(a.settingsFile) + " for that update.\n";
      }
      ending.advice += again + "finish the update; leave it connected until then.";
      break;
    case DeviceLeft::kSettingsOwed:
      ending.state =
          "The new firmware runs in the " + a.target + ", but not every setting is back.";
      if (HoldsThisUnitsFile(a)) {
        ending.keptFile = a.settingsFile;
        ending.advice = "The settings are kept in " + a.settingsFile + "\n" + again +
                        "bring them back, or run:\nquendal-cli restore --port " +
                        a.options.portDescription + " --from " + Quoted(a.settingsFile);
      } else {
        ending.advice = "No settings file of this " + a.target +
                        " is kept: please check its settings and set them again.";
      }
      break;
  }
  return ending;
}

}  // namespace quendal
