#pragma once
// The program-wide objects of the updater and the operations the window and the console
// front end share: start-up, one update per Start, the loader's progress callback, the
// message helpers, the sensor-type selection and the help texts.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/operator_interface.h"
#include "host/bounded_text.h"
#include "host/diagnostic_log.h"
#include "host/port_enum.h"
#include "host/serial.h"
#include "host/status.h"
#include "instrument/attempt_record.h"
#include "instrument/instrument_session.h"
#include "instrument/settings_capture.h"
#include "loader/device_types.h"
#include "loader/host_bsl.h"

namespace quendal {

// The log's source name for the updater's own lines.
inline constexpr const char* kHostSource = "Quendal Host";
// Between a folder and a file name in the paths the engine makes.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

inline constexpr int kPortTableSize = 16;

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

// How CheckHardwareRevision works in this build.
enum class HardwareRule { kNone, kCOnly, kAOrB };
// The command that resets records after an instrument update in this build.
enum class RecordReset { kNone, kEqn, kUsers, kActuator };

// What the build fixes: read from the CMake cache through one generated header.
struct BuildSettings {
  int targetType = kTypeDigitalSensor;  // kTypeDigitalSensor: the comm-device build
  HardwareRule hardwareRule = HardwareRule::kNone;
  RecordReset recordReset = RecordReset::kNone;
  std::string engineVersion;  // the program file's version
};
BuildSettings ThisBuild();

struct UpdaterEngine {
  explicit UpdaterEngine(OperatorInterface* ui, BuildSettings build = ThisBuild());
  UpdaterEngine(const UpdaterEngine&) = delete;
  UpdaterEngine& operator=(const UpdaterEngine&) = delete;

  OperatorInterface* ui;
  BuildSettings build;

  std::unique_ptr<DiagnosticLog> log;
  std::unique_ptr<InstrumentSession> session;
  std::unique_ptr<HostBSL> host;
  DeviceLink portLink;
  PortEntry ports[kPortTableSize];
  std::int32_t portCount = 0;
  std::int32_t selectedPortIndex = 0;
  std::string selectedPortName;
  std::string selectedPortDescription;

  std::string dataFolder;
  std::string errorFilePath;
  std::string settingsFilePath;
  std::string targetDisplayName;
  std::string longName;
  std::string shortName;
  std::string versionFinderPath;
  std::string userText1;
  std::string connectText;
  std::int32_t sensorTypeCode = 0;
  bool sensorTypeMenu = false;
  std::int32_t checkedSensorItem = -1;  // the menu code of the checked item; -1: none

  DeviceProfile profile;
  std::uint32_t imageVersion = 396;
  std::int32_t progressStepX = 1;
  float progressStepW = 0.5569078f;
  float progressPosition = 0;
  int progress = 0;
  bool settingsSkipped = false;
  UpdateStage stage = UpdateStage::kConnect;
  // What the first connect of the last update gave: a console tells port problems apart by it.
  Status connectResult = 0;

  bool updating = false;
  bool keepGoing = false;
  bool openFileAllowed = false;
  bool factoryMode = false;
  bool findAllPorts = false;
  bool verboseLog = true;
  bool replaceSerialNumber = false;
  bool dontEraseData = false;
  std::string newSerialNumber;
  // Where the attempt's record goes; empty: updates.jsonl in the data folder.
  std::string recordFile;
  // The caption of the last error shown, for the record of a failed attempt.
  std::string lastErrorCaption;

  bool IsCommDeviceBuild() const { return build.targetType == kTypeDigitalSensor; }
  std::string WindowCaption() const { return targetDisplayName + " Firmware Updater"; }
};

// Start-up without a window: the target family, the command-line switches, the data folder
// (`dataFolder` empty: the per-user one), the log and the engine objects. Returns the
// construction error of HostBSL (0 or negative).
Status EngineStart(UpdaterEngine* engine, const std::vector<std::string>& arguments,
                   const std::string& dataFolder);
// The per-user data folder: application data + "/Orvelle/Quendal", created if missing;
// empty when there is no such place.
std::string PerUserDataFolder();
// The folder name of a station's unit on `port`: the port's name as it stands when every
// system takes it as a folder name, else its cleaned form with a check of the whole name,
// so two ports never share a folder and none is a device name of Windows (COM3, NUL.txt).
std::string StationUnitFolder(const std::string& port);
// Selects the port the sequences open; `description` is what the messages show.
void SelectPort(UpdaterEngine* engine, const std::string& name, const std::string& description);
// Replaces the image by a TI-Text file and recomputes the image version and the "W" step.
Status OpenFirmwareFile(UpdaterEngine* engine, const char* path);
// The text shown when HostBSL could not be built.
std::string ConstructorErrorText(const UpdaterEngine& engine, Status code);

// One update: the Start timer's handler. Returns the sequence's result.
Status RunUpdate(UpdaterEngine* engine);
Status UpdateDigitalSensor(UpdaterEngine* engine);
Status UpdateInstrument(UpdaterEngine* engine);

// The loader engine's progress callback; returns the keep-going flag.
bool ReportLoaderProgress(UpdaterEngine* engine, char letter);

// The sequences move on to `stage`: false when the update was asked to stop (keep going
// cleared) before it. Once the vectors are sent the update always runs to its end, since
// the restart, the check and the restore only make the device whole again.
bool EnterStage(UpdaterEngine* engine, UpdateStage stage);
// What a sequence returns when it stops on request: kCancelled, with a line in the log.
Status StoppedOnRequest(UpdaterEngine* engine);
// For an update that was stopped or cut short: what state the device was left in and how
// to take it up again.
std::string LeftBehindText(const UpdaterEngine& engine);

// Operator dialogue helpers.
void ShowMessageOk(UpdaterEngine* engine, const std::string& text, const std::string& caption,
                   int kind);
int AskOkCancel(UpdaterEngine* engine, const std::string& text, const std::string& caption);
void SetStatus(UpdaterEngine* engine, const std::string& text);
void SetProgress(UpdaterEngine* engine, int position);
void StepProgress(UpdaterEngine* engine, int step);

// Steps both update sequences take.
// The battery check with `status` shown: after the "Batteries Too Low" message that begins
// with `firstLine`, kBatteryLow. A battery that cannot be read is no reason to stop: 0.
Status CheckBatteryStep(UpdaterEngine* engine, InstrumentSession* session, const char* status,
                        const char* firstLine);
// The settings file around the erase.
// Right after the save (`saved`: its result): warns of another unit's file moved aside;
// stops (negative) before anything is touched when a held value could not be written back.
Status AfterSaveStep(UpdaterEngine* engine, const SaveOutcome& outcome, Status saved);
// Before the device may leave its firmware: the settings file records it, so that no later
// Start captures the device over the file. `captured`: this run saved the settings (else it
// takes up an earlier attempt, whose file must be of one that reached this point). Negative
// after its message: nothing may be erased.
Status MarkEraseStep(UpdaterEngine* engine, bool captured);
// Before a restore from the file of an earlier attempt: true when the file is this unit's;
// else it is moved aside after a warning.
bool EarlierFileIsThisUnit(UpdaterEngine* engine, const AttemptRecord& device);
// Writes a kept settings file (a per-unit copy or the settings file) back into the unit on
// the selected port, after the same checks of type and serial number as an update.
// 1, or a negative code after its message.
Status RestoreSettingsFrom(UpdaterEngine* engine, const std::string& path);
// Appended to the texts of a restore that did not bring every setting back.
std::string KeptFileText(const UpdaterEngine& engine);
// The firmware check failed without the firmware's own verdict: says so with the code.
void ShowUnverifiedFirmware(UpdaterEngine* engine, Status rc);
// "\n\nNot as saved: …" after a restore that did not read back; empty otherwise.
std::string NotRestoredText(const InstrumentSession& session);

// What a look at the connected device found, for a console's "info".
struct DeviceInfo {
  std::string kind;     // what answered on the port ("KCD", "Tarnx")
  std::string version;  // its firmware, "1.23"; empty when unknown
  std::string serial;
  std::int32_t battery = -1;  // percent; -1: not read
  // The comm-device build: the sensor behind the comm device (kind empty: none answered).
  std::string sensorKind;
  std::string sensorVersion;
  std::string sensorSerial;
  // The settings as the settings file would hold them, in its order.
  std::vector<std::pair<std::string, std::string>> settings;
  std::string note;  // what could not be read, or the state the device was found in
};
// Connects to the device on the selected port, identifies it and reads its versions,
// battery and settings with the update's own steps, writing nothing to it and leaving no
// settings file. 1, or the connect's negative result (no message shown).
Status ReadDeviceInfo(UpdaterEngine* engine, DeviceInfo* info);
// The name of the sensor last read, for the operator.
std::string SensorKindName(const UpdaterEngine& engine);

// The text for a port that another program holds or that is not there; empty for any other
// result of the connect.
std::string PortProblemText(const std::string& port, Status rc);

// The captions of the questions the sequences may ask, for fronts that answer them by name.
extern const char* const kQuestionCaptions[5];

// Identity and version rules.
void SelectSensorType(UpdaterEngine* engine, std::int32_t code);
bool CheckFirmwareRange(UpdaterEngine* engine, const DeviceProfile& profile);
bool CheckHardwareRevision(UpdaterEngine* engine);
void ShowPostUpdateNotice(UpdaterEngine* engine, int deviceType);
// The codes of the sensor-type menu, in menu order, with their captions.
struct SensorMenuItem {
  const char* caption;
  std::int32_t code;
};
extern const SensorMenuItem kSensorMenu[12];

// Help and About.
std::string HelpText(const UpdaterEngine& engine);
std::string AboutText(const UpdaterEngine& engine);
std::string AboutCaption(const UpdaterEngine& engine);
void ShowHelp(UpdaterEngine* engine);
void ShowAbout(UpdaterEngine* engine);

// "0.00" of a version in hundredths.
std::string VersionText(std::uint32_t hundredths);

}  // namespace quendal
