#pragma once
#include <string_view>
#include <vector>

namespace quendal::cli {

// quendal-cli info [--port NAME] [--data-dir DIR] [--events]
int RunInfoCommand(const std::vector<std::string_view>& args);

}  // namespace quendal::cli
