#include "host/file_ops.h"

#include <atomic>

namespace quendal {
namespace {

std::atomic<FileFault> fault{nullptr};

}  // namespace

void SetFileFault(FileFault f) {
  fault = f;
}

int FileFaultFor(const std::string& path) {
  const FileFault f = fault;
  return f ? f(path) : 0;
}

}  // namespace quendal
