// quendal-cli: the updater's console front end for terminals and factory scripts.
// The exit statuses are listed in kExitStatuses; options.h holds their numbers.
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/history_command.h"
#include "app/cli/image_command.h"
#include "app/cli/info_command.h"
#include "app/cli/interrupt.h"
#include "app/cli/options.h"
#include "app/cli/ports_command.h"
#include "app/cli/update_command.h"
#include "app/engine/updater_engine.h"
#include "loader/builtin_image.h"
#include "loader/device_types.h"
#ifdef QUENDAL_CLI_DEMO
#include "app/cli/demo_command.h"
#endif

namespace {

using namespace quendal;
using namespace quendal::cli;

constexpr const char* kExitStatuses =
    "exit status:\n"
    "  0    success: the new firmware runs and every saved setting is back\n"
    "  1    the operation failed; its message says why and what was left\n"
    "  2    usage error\n"
    "  3    the firmware was updated, but not every setting was restored; the settings\n"
    "       file is kept and its path printed\n"
    "  4    refused before anything on the device was changed (a check or a question\n"
    "       said no, no device answered, or the data folder or firmware file is\n"
    "       unusable); the device still runs its old firmware\n"
    "  5    failed after the device left its firmware; it was left in its firmware loader\n"
    "       or with its settings owed: run the same update again to finish it\n"
    "  6    the port does not exist (see quendal-cli ports)\n"
    "  7    the port is in use by another program\n"
    "  8    no permission to open the port (on Linux: add yourself to the dialout group)\n"
    "  130  the update was interrupted (Ctrl-C or a termination request): it stopped at\n"
    "       its next safe point and printed what it left behind; run the same update\n"
    "       again to finish it. A second interrupt ends the program at once.\n";

constexpr const char* kUsageHead =
    "usage: quendal-cli <command> [options]\n"
    "       quendal-cli <command> --help      the options of one command\n"
    "       quendal-cli --version             program, build target and built-in image\n"
    "\n"
    "commands:\n";

constexpr const char* kUsageTail =
    "\n"
    "Messages and errors go to standard error; status, progress, events and results to\n"
    "standard output.\n"
    "\n";

constexpr const char* kPortsHelp =
    "usage: quendal-cli ports [--all]\n"
    "\n"
    "Lists the serial ports and running simulated devices, one a line: name TAB\n"
    "description. The description starts with the port's short name (ttyUSB0, COM3,\n"
    "devsim-kcd), which --port takes as well as the name. A USB adapter's port has a\n"
    "third column: its vendor and product ids and, when it has one, its serial number\n"
    "(0403:6001 usb:A12345); --port usb:A12345 finds that adapter under whatever name\n"
    "it has after being plugged in again.\n"
    "\n"
    "  --all     also probe the usual device names\n"
    "\n"
    "exit status: 0 listed (also when there is none), 1 the ports could not be listed,\n"
    "2 usage error\n";

constexpr const char* kImageHelp =
    "usage: quendal-cli image [--firmware FILE] [--dump OUT] [--ti-text OUT] [--check TYPE]\n"
    "\n"
    "Shows the firmware image (name, version, kind, length, sum, vectors).\n"
    "\n"
    "  --firmware FILE   load a TI-Text file first instead of the built-in image\n"
    "  --dump OUT        write the image to OUT as the window's \"Dump Firmware Image\"\n"
    "                    does (words high byte first, no \"q\"): to compare with such a\n"
    "                    dump; the updater does not open it again\n"
    "  --ti-text OUT     write the image to OUT as a TI-Text file, which --firmware and\n"
    "                    other TI-Text tools read back to the same bytes\n"
    "  --check TYPE      whether the image is made for device TYPE (a type code such as\n"
    "                    KYREL-SX or CVFOUR) and fits its memory\n"
    "\n"
    "exit status: 0 shown (and fits), 1 not a valid image or it does not fit,\n"
    "2 usage error\n";

constexpr const char* kRestoreHelp =
    "usage: quendal-cli restore --port NAME --from FILE [--data-dir DIR] [--events] [-q|-v]\n"
    "\n"
    "Writes a kept settings file (a per-unit copy under unit-settings/ in the data\n"
    "folder, or the settings file an update kept) back into the same unit on port NAME.\n"
    "\n"
    "  --port NAME      the port, by name, path or USB serial number (usb:A12345)\n"
    "  --from FILE      the settings file\n"
    "  --data-dir DIR   the data folder (log and settings files); default: the per-user one\n"
    "  --events         write JSON Lines events instead of text\n"
    "  -q, --quiet      only errors, warnings and the result\n"
    "  -v, --verbose    the log's lines on standard error as they are written\n"
    "\n"
    "exit status: 0 every setting back, 1 failed (another unit's file, no answer), 2 usage\n"
    "error, 3 not every setting back, 4 nothing written: the data folder cannot be written\n"
    "or the settings file is missing or no regular file, 6 no such port, 7 the port or the\n"
    "settings file is in use, 8 no permission to open the port\n";

constexpr const char* kHistoryHelp =
    "usage: quendal-cli history [--serial S] [--data-dir DIR] [--events]\n"
    "\n"
    "Prints the record of every update attempt (updates.jsonl in the data folder) as a\n"
    "table: start (UTC), port, device, serial number, firmware before > after, result\n"
    "code, seconds and result. Lines that are no record are skipped with a note.\n"
    "\n"
    "  --serial S       only the attempts on the unit with serial number S\n"
    "  --data-dir DIR   the data folder; default: the per-user one\n"
    "  --events         the matching record lines as they are (JSON Lines)\n"
    "\n"
    "exit status: 0 shown (also when nothing is recorded yet), 2 usage error\n";

constexpr const char* kDemoHelp =
    "usage: quendal-cli demo [--keep] [--events] [-q|-v]\n"
    "\n"
    "A full update of a simulated KCD with a Lurra sensor on a pseudo-terminal, with a\n"
    "data folder of its own under $TMPDIR (or /tmp), removed at the end.\n"
    "\n"
    "  --keep     keep the data folder (log, settings copy, record) and say where it is\n"
    "  --events   write JSON Lines events instead of text\n"
    "  -q, -v     quiet or verbose, as for update\n";

std::string InfoHelp() {
  return "usage: quendal-cli info [--port NAME] [--data-dir DIR] [--events] [-q|-v]\n"
         "\n"
         "Connects to the device on port NAME, identifies it and reads its firmware\n"
         "version, battery and settings, and prints them. Nothing is written to the device\n"
         "and no settings file is left behind; the log goes to the data folder.\n"
         "\n"
         "  --port NAME      the port by name (ttyUSB0, COM3, devsim-kcd), path or USB\n"
         "                   serial number (usb:A12345); without it the only port there is\n"
         "  --data-dir DIR   the data folder for the log; default: the per-user one\n"
         "  --events         one JSON object {\"event\":\"info\",...} instead of text\n"
         "  -q, --quiet      no note of the port chosen\n"
         "  -v, --verbose    the log's lines on standard error as they are written\n"
         "\n"
         "exit status: 0 read, 1 the device did not answer as expected, 2 usage error,\n"
         "4 the data folder cannot be written, 6 7 8 port problems (see quendal-cli help)\n";
}

std::string UpdateHelp() {
  const bool commBuild = ThisBuild().targetType == kTypeDigitalSensor;
  std::string names;
  for (const std::string& name : QuestionNames()) names += "                        " + name + "\n";
  std::string text =
      "usage: quendal-cli update [--port NAME [--port NAME ...] | --all-ports] [--rep|--factory]\n"
      "         [--firmware FILE]\n"
      "         [--yes NAME,...|--answer ok|cancel] [--data-dir DIR] [--events] [--dry-run]\n"
      "         [--skip-current] [-q|-v]\n";
  text += commBuild ? "         [--sensor-type CODE]\n" : "         [--new-sn TEXT] [--dont-erase]\n";
  text +=
      "\n"
      "Updates the device on port NAME with the built-in firmware (or FILE). Before the\n"
      "first write it prints the device found (kind, version, serial number) and the\n"
      "log's path; then the phases as they change, and the progress: a bar with percent,\n"
      "elapsed time, bytes/s and the time left of the phase in progress (erase, upload:\n"
      "from its own measured rate) on a terminal, a line every 10 % elsewhere.\n"
      "\n"
      "  --port NAME         the port by name (ttyUSB0, COM3, devsim-kcd), path or USB\n"
      "                      serial number (usb:A12345, see quendal-cli ports); without\n"
      "                      it the only port there is (printed)\n"
      "  --rep               repair mode: allows --firmware\n"
      "  --factory           factory mode: allows --firmware";
  text += commBuild ? "\n" : ", --new-sn and --dont-erase\n";
  text +=
      "  --firmware FILE     a TI-Text file instead of the built-in image\n";
  if (commBuild) {
    text +=
        "  --sensor-type CODE  the sensor type to update, as a number (122) or as the\n"
        "                      character the sensor reports (z); default: the Lurra family\n";
  } else {
    text +=
        "  --new-sn TEXT       a new serial number, at most 15 characters\n"
        "  --dont-erase        keep the recorded data\n";
  }
  text +=
      "  --yes NAME,...      answer OK to the questions named, Cancel to any other:\n" + names +
      "  --answer ok|cancel  the answer to every question\n"
      "                      Without either, a question is asked on a terminal and\n"
      "                      answered Cancel elsewhere.\n"
      "  --data-dir DIR      the data folder (log, settings files); default: the per-user\n"
      "                      one. One that cannot be written is refused before the\n"
      "                      device is touched.\n"
      "  --record-file FILE  where the attempt's record line goes; default: updates.jsonl\n"
      "                      in the data folder (see quendal-cli history)\n"
      "  --dry-run           connect, identify, check and read the settings as an update\n"
      "                      would, then stop before the firmware loader: nothing is\n"
      "                      written and no settings file is kept. It ends with what the\n"
      "                      update would do; exit 0 when it could go ahead.\n"
      "  --skip-current      leave a unit that already runs the image's version as it is:\n"
      "                      nothing is written, it ends \"Skipped\" with exit 0\n"
      "  --events            JSON Lines events on standard output instead of text:\n"
      "                      status, phase, progress, device, question, message,\n"
      "                      interrupted, result (with \"skipped\" for a skipped unit)\n"
      "  -q, --quiet         only errors, warnings, questions answered Cancel and the\n"
      "                      result (no status, phases or progress)\n"
      "  -v, --verbose       the log's lines on standard error as they are written\n"
      "\n"
      "Station: with --port given more than once, or --all-ports, every unit is updated\n"
      "at once, each by its own copy of this program with its settings file and log in\n"
      "station/PORT under the data folder. --all-ports takes the ports an update without\n"
      "--port would choose from: built-in serial ports (ttyS*) and busy ports are listed\n"
      "as skipped with the reason (an event {\"event\":\"skipped\",\"reason\":...}) and\n"
      "do not count as failed. The other options go to every unit (--dry-run and\n"
      "--skip-current too: the table then shows each unit's \"would update ...\" or\n"
      "\"skipped: already runs X\"), and questions get --yes or --answer. One line per\n"
      "port on a terminal; with --events each unit's events carry a \"port\" member and\n"
      "each unit ends with {\"event\":\"exit\",\"status\":N}. Ctrl-C reaches every\n"
      "unit. The exit status is the worst unit's, from best to worst:\n"
      "0, 3, 4, 5, 1, 6 7 8, 2, 130.\n"
      "\n";
  return text + kExitStatuses;
}

int Version() {
  const BuildSettings build = ThisBuild();
  const bool commBuild = build.targetType == kTypeDigitalSensor;
  std::printf("quendal-cli %s\n", build.engineVersion.c_str());
  std::printf("build target: %s (%s)\n",
              commBuild ? "KCD and Digital Sensor" : DeviceTypeDisplayName(build.targetType),
              commBuild ? "COMM" : DeviceTypeCode(build.targetType));
  std::printf("built-in image: %s (%u image-text characters, sum %d)\n", kBuiltinImage.name,
              static_cast<unsigned>(kBuiltinImage.length), static_cast<int>(kBuiltinImage.sum));
  return kExitOk;
}

std::string Usage();

// The console's commands: each with its line in the usage text, its help and what runs it.
// A new command is a row here and a Run...Command of its own.
struct ConsoleCommand {
  const char* name;
  const char* shown;    // the name with its arguments in the usage text
  const char* summary;  // its line in the usage text
  std::string (*help)();
  int (*run)(const std::vector<std::string_view>& args);  // null: help only
};

const ConsoleCommand kCommands[] = {
    {"ports", "ports", "list the serial ports and running simulated devices",
     [] { return std::string(kPortsHelp); }, RunPortsCommand},
    {"image", "image", "show, load, dump or check a firmware image",
     [] { return std::string(kImageHelp); }, RunImageCommand},
    {"info", "info", "show what is connected: device, versions, battery, settings", InfoHelp,
     RunInfoCommand},
    {"update", "update", "update the device on a port", UpdateHelp, RunUpdateCommand},
    {"restore", "restore", "write a kept settings file back into its unit",
     [] { return std::string(kRestoreHelp); }, RunRestoreCommand},
    {"history", "history", "the record of every update attempt",
     [] { return std::string(kHistoryHelp); }, RunHistoryCommand},
#ifdef QUENDAL_CLI_DEMO
    {"demo", "demo", "a full update of a simulated KCD with a Lurra sensor",
     [] { return std::string(kDemoHelp); }, RunDemoCommand},
#endif
    {"help", "help [COMMAND]", "show this text or a command's", Usage, nullptr},
};

// The usage text: the command list comes from the table. A command's summary stands in the
// command column; one shown with its arguments lines up with the usage lines above.
std::string Usage() {
  constexpr std::size_t kCommandColumn = 13;
  constexpr std::size_t kUsageColumn = 41;
  std::string text = kUsageHead;
  for (const ConsoleCommand& command : kCommands) {
    std::string line = "  ";
    line += command.shown;
    const std::size_t column = std::string_view(command.shown) == command.name ? kCommandColumn
                                                                               : kUsageColumn;
    line.append(line.size() < column ? column - line.size() : 1, ' ');
    line += command.summary;
    line += '\n';
    text += line;
  }
  text += kUsageTail;
  text += kExitStatuses;
  return text;
}

const ConsoleCommand* FindCommand(std::string_view name) {
  for (const ConsoleCommand& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

bool AsksForHelp(const std::vector<std::string_view>& args) {
  for (std::string_view arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

}  // namespace

static int Run(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const std::string usage = Usage();
  if (args.empty()) {
    std::fputs(usage.c_str(), stderr);
    return kExitUsage;
  }
  std::string_view command = args.front();
  args.erase(args.begin());
  if (command == "--version" || command == "-V") return Version();
  if (command == "help" || command == "--help" || command == "-h") {
    if (args.empty()) {
      std::fputs(usage.c_str(), stdout);
      return kExitOk;
    }
    command = args.front();
  } else if (!AsksForHelp(args)) {
#ifdef QUENDAL_CLI_TEST_THROW
    // Only in the tests' copy of this program: what no command foresees, thrown.
    if (command == "throw") throw std::runtime_error("thrown by the test's own command");
    if (command == "throw-other") throw 7;
#endif
    if (const ConsoleCommand* found = FindCommand(command); found && found->run) {
      return found->run(args);
    }
  }
  if (const ConsoleCommand* found = FindCommand(command)) {
    std::fputs(found->help().c_str(), stdout);
    return kExitOk;
  }
  std::fprintf(stderr, "quendal-cli: unknown command '%.*s'\n\n%s",
               static_cast<int>(command.size()), command.data(), usage.c_str());
  return kExitUsage;
}

int main(int argc, char** argv) {
  IgnoreBrokenPipe();
  // Whatever a command did not foresee ends it like any other failure: the device's state
  // is what the engine's own ending left, and the next Start takes it up.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quendal-cli: stopped by an unexpected error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quendal-cli: stopped by an unexpected error\n");
  }
  return kExitFailed;
}
