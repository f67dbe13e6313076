#pragma once
#include <string_view>
#include <vector>

namespace quendal::cli {

// quendal-cli ports [--all]
int RunPortsCommand(const std::vector<std::string_view>& args);

}  // namespace quendal::cli
