#pragma once
// What the operator asked for, and what one Start of an update (or of a restore) learns.
// Each Start makes a new UpdateAttempt; nothing of an earlier one carries over, and the
// ending (what the device was left in, what to do next) is decided from it alone.
#include <cstdint>
#include <ctime>
#include <string>

#include "host/status.h"
#include "loader/device_types.h"

namespace quendal {

// Where an update has got to; what an interruption leaves behind depends on it.
enum class UpdateStage {
  kConnect,
  kSave,
  kLoaderStart,
  kErase,
  kUpload,
  kVectors,
  kRestart,
  kCheck,
  kRestore,
};
const char* UpdateStageName(UpdateStage stage);

// What the operator chose for the next Start; each attempt keeps its own copy.
struct UpdateOptions {
  std::string port;              // the name the serial driver opens
  std::string portDescription;   // what the messages call it
  bool factoryMode = false;      // -factory
  bool openFileAllowed = false;  // -rep or -factory: another firmware file may be opened
  std::string firmwareFile;      // empty: the embedded image
  bool replaceSerialNumber = false;
  std::string newSerialNumber;
  bool dontEraseData = false;
  std::int32_t sensorTypeCode = 0;  // the comm-device build's selected sensor type
  std::string recordFile;           // empty: updates.jsonl in the data folder
  // Everything up to the loader and nothing written: the device is left as it was.
  bool dryRun = false;
  // A unit that already runs the image's version is left as it is.
  bool skipCurrent = false;
};

// How far the attempt's settings file got.
enum class SettingsPhase {
  kNone,        // this attempt holds no file of its unit
  kCaptured,    // read from the device; nothing of it touched yet
  kEraseBegun,  // the device may have left its firmware: the file may be the only copy
  kRestored,    // every setting is back; the file is gone
};

// What the device was left in when the attempt ended.
enum class DeviceLeft {
  kUnchanged,           // nothing on it was changed (or a restore wrote nothing)
  kFirmwareIncomplete,  // its loader waits or is active, or its firmware is not confirmed
  kSettingsOwed,        // the new firmware runs; not every setting is back
  kUpdated,             // the new firmware runs with every setting back
};
const char* DeviceLeftName(DeviceLeft left);

enum class AttemptKind { kUpdate, kRestore, kLook };

struct UpdateAttempt {
  UpdateAttempt() = default;
  UpdateAttempt(AttemptKind kind, UpdateOptions options, std::string target)
      : kind(kind), options(std::move(options)), target(std::move(target)) {}

  AttemptKind kind = AttemptKind::kUpdate;
  UpdateOptions options;
  std::string target;  // the target's display name at Start, for texts and files

  // Image the update writes.
  std::string imageName;
  std::uint32_t imageVersion = 0;  // hundredths
  std::int32_t imageSum = 0;

  UpdateStage stage = UpdateStage::kConnect;
  Status connectResult = 0;  // the first connect: a console tells port problems apart by it
  DeviceProfile profile;
  std::string settingsFile;
  SettingsPhase settingsPhase = SettingsPhase::kNone;
  // The file holds this unit's values: this attempt captured them, or checked the file
  // of an earlier attempt against the unit.
  bool settingsOfThisUnit = false;
  bool settingsSkipped = false;  // the operator went on without the settings
  bool settingsCaptured = false;
  std::string notRestored;  // the settings that did not read back as saved

  int progress = 0;
  float progressPosition = 0;  // the upload's share of the bar, before rounding

  bool running = false;
  bool stopRequested = false;
  std::string lastErrorCaption;

  // The unit, as far as this attempt identified it.
  std::string device;
  std::string serial;
  std::uint32_t firmwareBefore = 0;  // hundredths; 0: not known

  // A dry run got as far as the loader: every check before it passed.
  bool dryRunReached = false;
  int settingsToKeep = -1;  // what the dry run read; -1: none
  // The unit runs the image's version and skipCurrent was asked: it stops before its
  // settings are kept (or before the loader, where the version comes with the settings).
  bool skippedAsCurrent = false;

  std::time_t start = 0;
  std::time_t end = 0;
  std::uint32_t seconds = 0;
  Status result = 0;
  DeviceLeft left = DeviceLeft::kUnchanged;
};

// What an ended attempt leaves the operator with.
struct UpdateEnding {
  DeviceLeft left = DeviceLeft::kUnchanged;
  std::uint32_t firmwareAfter = 0;  // hundredths; 0: not known
  std::string state;                // what the device was left in; empty after a success
  std::string advice;               // what to do next; empty when nothing is owed
  std::string keptFile;             // this unit's settings file a restore still owes
  // State and advice as one text.
  std::string Text() const;
};

// What the device was left in, from how far the attempt got and how it ended.
DeviceLeft DeviceLeftAfter(const UpdateAttempt& attempt);
// The one place that decides what an ended attempt tells the operator. Every front end
// shows this: the window, the console, its events, the station and the record.
UpdateEnding DecideEnding(const UpdateAttempt& attempt);

}  // namespace quendal
