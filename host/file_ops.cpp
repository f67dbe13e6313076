#include "host/file_ops.h"

#include <atomic>

namespace quendal {
namespace {

std::atomic<FileFault> fault{nullptr};

}  // namespace

void SetFileFault(FileFault f) {
  fault = f;
}

std::string SizeText(std::uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

int FileFaultFor(const std::string& path) {
  const FileFault f = fault;
  return f ? f(path) : 0;
}

}  // namespace quendal
