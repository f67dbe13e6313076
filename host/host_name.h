#pragma once
#include <string>

namespace quendal {

// This computer's network name; empty when it has none.
std::string HostName();

}  // namespace quendal
