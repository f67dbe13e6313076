#include <unistd.h>

#include "host/host_name.h"

namespace quendal {

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace quendal
