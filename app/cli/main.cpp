// quendal-cli: the updater's console front end for terminals and factory scripts.
// Exit status: 0 success, 1 the operation failed, 2 usage error, 3 firmware updated with
// settings not all restored, 130 an update interrupted.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/history_command.h"
#include "app/cli/image_command.h"
#include "app/cli/interrupt.h"
#include "app/cli/options.h"
#include "app/cli/ports_command.h"
#include "app/cli/update_command.h"
#ifdef QUENDAL_CLI_DEMO
#include "app/cli/demo_command.h"
#endif

namespace {

constexpr const char* kUsage =
    "usage: quendal-cli <command> [options]\n"
    "\n"
    "commands:\n"
    "  ports [--all]                          list the serial ports and running simulated\n"
    "                                         devices, one a line: name TAB description;\n"
    "                                         --all also probes the usual device names\n"
    "  image [--firmware FILE] [--dump OUT] [--check TYPE]\n"
    "                                         show the firmware image (name, version, kind,\n"
    "                                         length, sum, vectors); optionally load a TI-Text\n"
    "                                         file first and write the image to OUT; --check\n"
    "                                         says whether it fits device TYPE (a type code\n"
    "                                         such as KYREL-SX or CVFOUR): exit 0 fits, 1 not\n"
    "  update --port NAME [--factory|--rep] [--firmware FILE] [--sensor-type CODE]\n"
    "         [--new-sn TEXT] [--dont-erase] [--answer ok|cancel] [--data-dir DIR]\n"
    "         [--events]                      update the device on port NAME; --events\n"
    "                                         writes JSON Lines instead of text\n"
    "  restore --port NAME --from FILE [--data-dir DIR] [--events]\n"
    "                                         write a kept settings file (a per-unit copy\n"
    "                                         under unit-settings/ in the data folder) back\n"
    "                                         into the same unit on port NAME\n"
    "  update --port A --port B ... | --all-ports [options]\n"
    "                                         a station: every unit at once, one process\n"
    "                                         each; the exit status is the worst of the\n"
    "                                         units' (130, 2, port problems, 1, 3, 0)\n"
    "  history [--serial S] [--data-dir DIR] [--events]\n"
    "                                         the record of every update attempt, one a row\n"
    "  demo [--events]                        a full update of a simulated KCD with a\n"
    "                                         Lurra sensor on a pseudo-terminal\n"
    "  help                                   show this text\n"
    "\n"
    "exit status:\n"
    "  0    success: the new firmware runs and every saved setting is back\n"
    "  1    the operation failed; its message says why and what was left\n"
    "  2    usage error\n"
    "  3    the firmware was updated, but not every setting was restored; the settings\n"
    "       file is kept and its path printed\n"
    "  130  the update was interrupted (Ctrl-C or a termination request): it stopped at\n"
    "       its next safe point and printed what it left behind; run the same update\n"
    "       again to finish it. A second interrupt ends the program at once.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace quendal::cli;
  IgnoreBrokenPipe();
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  std::string_view command = args.front();
  args.erase(args.begin());
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "image") return RunImageCommand(args);
  if (command == "ports") return RunPortsCommand(args);
  if (command == "update") return RunUpdateCommand(args);
  if (command == "restore") return RunRestoreCommand(args);
  if (command == "history") return RunHistoryCommand(args);
#ifdef QUENDAL_CLI_DEMO
  if (command == "demo") return RunDemoCommand(args);
#endif
  std::fprintf(stderr, "quendal-cli: unknown command '%.*s'\n\n%s",
               static_cast<int>(command.size()), command.data(), kUsage);
  return kExitUsage;
}
