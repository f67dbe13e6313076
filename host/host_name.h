#pragma once
// Records that several processes add to at once: one whole line per write, so that lines
// from different processes never mix, whatever order they arrive in.
#include <string>

#include "host/status.h"

namespace quendal {

// Appends `line` (which must end in '\n') to `path`, creating the file, in a single write.
// 1, or the negated system error number.
Status AppendLine(const std::string& path, const std::string& line);

// This computer's network name; empty when it has none.
std::string HostName();

}  // namespace quendal
