#include "app/cli/child_process.h"

namespace quendal::cli {

// A copy of the program on Windows ends its lines with CR LF.
bool ChildProcess::TakeLine(std::string* buffer, std::string* line) {
  const std::size_t end = buffer->find('\n');
  if (end == std::string::npos) return false;
  std::size_t length = end;
  if (length > 0 && (*buffer)[length - 1] == '\r') --length;
  line->assign(*buffer, 0, length);
  buffer->erase(0, end + 1);
  return true;
}

}  // namespace quendal::cli
