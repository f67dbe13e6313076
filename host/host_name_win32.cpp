#include <windows.h>

#include "host/host_name.h"

namespace quendal {

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return {};
  return std::string(name, size);
}

}  // namespace quendal
