#pragma once
#include <string_view>
#include <vector>

namespace quendal::cli {

// quendal-cli history [--serial S] [--data-dir DIR] [--events]: the update record as a table.
int RunHistoryCommand(const std::vector<std::string_view>& args);

}  // namespace quendal::cli
