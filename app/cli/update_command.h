#pragma once
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/options.h"
#include "host/port_enum.h"

namespace quendal {
struct UpdateAttempt;
}

namespace quendal::cli {

struct RunResult;

struct UpdateRequest {
  std::string port;
  std::string portDescription;
  bool factory = false;
  bool rep = false;
  std::string firmware;
  std::string sensorType;
  std::string newSerialNumber;
  bool newSerialGiven = false;  // --new-sn was given, even empty
  bool dontErase = false;
  std::string answer;           // "ok", "cancel" or empty (not given)
  std::set<std::string> yes;    // question names answered OK
  std::string dataDir;
  bool events = false;
  std::string recordFile;  // empty: updates.jsonl in the data folder
  bool quiet = false;      // -q: only errors and the result
  bool verbose = false;    // -v: the log's lines as they are written
  bool dryRun = false;     // everything up to the loader; nothing written
  bool skipCurrent = false;  // a unit that runs the image's version is left alone
};

// -q/--quiet and -v/--verbose of the commands that run the engine: false, with the usage
// error, when both are given.
bool TakeLoudness(const ParsedOptions& options, bool* quiet, bool* verbose, std::string* error);

// quendal-cli update --port NAME [...]
int RunUpdateCommand(const std::vector<std::string_view>& args);
// quendal-cli restore --port NAME --from FILE: a kept settings file back into its unit.
int RunRestoreCommand(const std::vector<std::string_view>& args);
// The rules the options must keep whatever the device: empty when they do, else the usage
// error. A port is not checked.
std::string CheckUpdateRequest(const UpdateRequest& request);
// One update with the engine; the exit status.
int RunUpdateRequest(const UpdateRequest& request);

// The exit status of an ended update or restore (`interrupted`: by the operator's Ctrl-C).
int ExitStatusOf(const UpdateAttempt& attempt, bool interrupted);
// What the console reports of an ended attempt.
RunResult ResultOf(const UpdateAttempt& attempt, int status, unsigned seconds);

// The question names --yes takes, in the order the help lists them.
std::vector<std::string> QuestionNames();

// A port as `ports` names it ("devsim-kcd", "ttyUSB0", "COM3"), by path, or by its USB
// adapter's serial number ("usb:A12345"): the name the serial driver opens and its
// description. Names no port lists are passed on unchanged. kExitOk, or kExitPortMissing
// with the reason in `why` when no port or several have the serial number (kExitUsage when
// none is given).
int ResolvePort(const std::string& given, std::string* name, std::string* description,
                std::string* why);
// A listed port as a unit to update: its name for the driver, its short name, and why it
// is none (empty: it is one).
struct PortCandidate {
  std::string name;
  std::string shortName;
  std::string skipped;
};
// The ports of a list that an update would take without being told: not the built-in
// UARTs (listed whether or not anything is wired to them) nor busy ports, which are kept
// with the reason.
std::vector<PortCandidate> UpdateCandidates(const PortEntry* entries, std::int32_t count);
// The same for the machine's port list.
std::vector<PortCandidate> ListedUpdateCandidates();

// With no port given: the only port there is. False, with the reason, when there is none
// or more than one.
bool OnlyPort(std::string* name, std::string* description, std::string* why);

// Why the data folder (empty: the per-user one) cannot take the log and the settings files;
// empty when it can. Made when missing.
std::string DataFolderProblem(const std::string& folder);

// The exit status for a failed connect of the port, with the message that says the fix;
// kExitOk when the open was no port problem. `toldAlready`: the engine's own message said
// what happened, so the text only adds what it did not say (empty: nothing).
int PortProblem(const std::string& port, int connectResult, std::string* text,
                bool toldAlready = false);

}  // namespace quendal::cli
