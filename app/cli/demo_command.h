#pragma once
#include <string_view>
#include <vector>

namespace quendal::cli {

// quendal-cli demo [--events]: a full update of a simulated comm device and sensor.
int RunDemoCommand(const std::vector<std::string_view>& args);

}  // namespace quendal::cli
