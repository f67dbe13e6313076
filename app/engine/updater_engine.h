#pragma once
// The program-wide objects of the updater and the operations the window and the console
// front end share: start-up, one update per Start, the loader's progress callback, the
// message helpers, the sensor-type selection and the help texts.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/operator_interface.h"
#include "app/engine/update_attempt.h"
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

// The program-wide objects: what lives as long as the program. What one Start learns is
// in `attempt`, made anew by each Start; the window keeps its own state.
struct UpdaterEngine {
  explicit UpdaterEngine(OperatorInterface* ui, BuildSettings build = ThisBuild());
  UpdaterEngine(const UpdaterEngine&) = delete;
  UpdaterEngine& operator=(const UpdaterEngine&) = delete;

  OperatorInterface* ui;
  BuildSettings build;

  std::unique_ptr<DiagnosticLog> log;
  std::unique_ptr<InstrumentSession> session;
  std::unique_ptr<HostBSL> host;

  std::string dataFolder;
  std::string errorFilePath;
  // The target's settings file in the data folder.
  std::string settingsFilePath;
  std::string targetDisplayName;
  std::string longName;
  std::string shortName;
  std::string versionFinderPath;
  // The image's version and the bar's share of one "W" frame.
  std::uint32_t imageVersion = 396;
  float progressStepW = 0.5569078f;
  bool verboseLog = true;

  // What the operator chose for the next Start.
  UpdateOptions options;
  // The running or the last attempt; none before the first Start.
  std::unique_ptr<UpdateAttempt> attempt;

  bool IsCommDeviceBuild() const { return build.targetType == kTypeDigitalSensor; }
  std::string WindowCaption() const { return targetDisplayName + " Firmware Updater"; }
};

// A new attempt of `kind` with the operator's options, the target and the image as they
// stand; it replaces the last one.
UpdateAttempt* BeginAttempt(UpdaterEngine* engine, AttemptKind kind);
// Ends the running attempt with `rc`: its unit as the session identified it (`deviceReached`
// false: the port was never opened), and what the device was left in.
void FinishAttempt(UpdaterEngine* engine, Status rc, bool deviceReached);
// True while an attempt runs.
bool Updating(const UpdaterEngine& engine);
// Asks the running attempt to stop at its next safe point; nothing when none runs.
void RequestStop(UpdaterEngine* engine);
// The ending of the last attempt (an empty one before the first).
UpdateEnding LastEnding(const UpdaterEngine& engine);
// The line that asks for the device before a Start.
std::string ConnectText(const UpdaterEngine& engine);
// The window's first line: what the image is for.
std::string UserText(const UpdaterEngine& engine);
// The code of the sensor-type menu item that carries the check mark; -1: none.
std::int32_t CheckedSensorItem(const UpdaterEngine& engine);

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
// Selects the port the next Start opens; `description` is what the messages show.
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
// to take it up again (the last attempt's ending as one text).
std::string LeftBehindText(const UpdaterEngine& engine);

// Operator dialogue helpers.
void ShowMessageOk(UpdaterEngine* engine, const std::string& text, const std::string& caption,
                   int kind);
int AskOkCancel(UpdaterEngine* engine, const std::string& text, const std::string& caption);
void SetStatus(UpdaterEngine* engine, const std::string& text);
void SetProgress(UpdaterEngine* engine, int position);
void StepProgress(UpdaterEngine* engine, int step);

// Below this battery level (percent) no update starts.
inline constexpr std::int32_t kMinimumBattery = 10;

// Steps both update sequences take.
// A line before the update goes on when the device runs the image's version already
// (`version` in hundredths): a re-flash may be meant, but never unnoticed. With the
// skipCurrent option the attempt is marked to stop at its next stage instead.
void SayWhenSameVersion(UpdaterEngine* engine, std::uint32_t version);
// The battery check with `status` shown: after the "Batteries Too Low" message that begins
// with `firstLine`, kBatteryLow. A battery that cannot be read is no reason to stop: 0.
Status CheckBatteryStep(UpdaterEngine* engine, InstrumentSession* session, const char* status,
                        const char* firstLine);
// The save: the device's settings into the attempt's settings file, and the question
// whether to go on without them (-rep, -factory). Negative: the sequence stops with it.
Status SaveSettingsStep(UpdaterEngine* engine);
// "could not retrieve the settings" of the save and the login before it.
std::string RetrieveErrorText(const UpdaterEngine& engine);
// The loader would not start: `noLoader` is the code of a device that has none (named
// `device` in the message), which is returned; any other failure gives kHandshakeFailed.
Status LoaderStartFailed(UpdaterEngine* engine, Status rc, Status noLoader,
                         const std::string& device);
// A loader step failed with `code`: "encountered an error" under `caption`, or nothing
// but a log line when the operator asked to stop. `code` (kCancelled on request).
Status LoaderStepFailed(UpdaterEngine* engine, Status code, const char* caption);
// Erase, upload and vectors through the started loader, each its own stage, since what an
// interruption leaves behind depends on how far this got. 1; kCancelled when stopped on
// request; else the loader's code after its message.
Status TransferFirmwareStep(UpdaterEngine* engine, std::uint32_t pauseBeforeUploadMs);
// The check stage begins.
void BeginCheckStep(UpdaterEngine* engine);
// The firmware's own verdict `rc` (`corrupt`: its code for corrupt firmware), with the
// message for a failure; `rc` as given.
Status FirmwareCheckResult(UpdaterEngine* engine, Status rc, Status corrupt);
// The restore stage begins.
void BeginRestoreStep(UpdaterEngine* engine);
// True when the settings file may go back into the device: this attempt captured it, or
// the earlier attempt's file is this unit's (else it is moved aside after a warning).
bool SettingsFileIsThisUnits(UpdaterEngine* engine);
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
// The name of the sensor last read, for the operator: a family member without a name of
// its own by its family's.
std::string SensorKindName(const UpdaterEngine& engine);
// What the last attempt found on the port, for the operator: the sensor's name, the
// instrument's type, or the target when nothing answered. Needs an attempt.
std::string FoundDeviceKind(const UpdaterEngine& engine);
// The settings last read, as the settings file would hold them, in its order.
std::vector<std::pair<std::string, std::string>> HeldSettingsList(const UpdaterEngine& engine);
// True when a sensor reporting `type` is one the selected sensor type `selected` updates.
bool SensorTypeFits(std::int32_t selected, std::uint8_t type);

// The text for a port that another program holds, that this user may not open (with the
// fix), or that is not there; empty for any other result of the connect.
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
