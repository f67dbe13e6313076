#pragma once
#include <string_view>
#include <vector>

namespace quendal::cli {

// quendal-cli image [--firmware FILE] [--dump OUT]
int RunImageCommand(const std::vector<std::string_view>& args);

}  // namespace quendal::cli
