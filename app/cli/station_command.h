#pragma once
// Station mode: several units updated at once, one child process per port.
//
// The station's exit status is the worst of its units', in this order from best to worst:
// 0 success, 3 settings not all restored, 4 refused (nothing changed), 5 failed but left
// recoverable, 1 failed, 6 7 8 port problems (a station's wiring fault), 2 usage error (a
// child refused its arguments), 130 interrupted. A child that ended any other way (a crash)
// counts as failed.
#include <string_view>
#include <vector>

namespace quendal::cli {

// True when `args` of an update name more than one port or --all-ports.
bool IsStationUpdate(const std::vector<std::string_view>& args);
// quendal-cli update --port A --port B ... | --all-ports [other update options]
int RunStationCommand(const std::vector<std::string_view>& args);
// The worse of two exit statuses of units, by the order above.
int WorseExitStatus(int a, int b);

}  // namespace quendal::cli
