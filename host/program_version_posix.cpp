// Program files here carry no version resource; the build's own version stands in for it.
#include "app/engine/build_settings.h"
#include "host/program_version.h"

namespace quendal {

std::string ProgramFileVersion() {
  return QUENDAL_BUILD_ENGINE_VERSION;
}

}  // namespace quendal
