// The firmware image in memory: the built-in record, TI-Text files read and dumps written.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/file_ops.h"
#include "host/timing.h"
#include "loader/device_types.h"
#include "loader/host_bsl.h"
#include "loader/ti_text.h"

namespace quendal {
namespace {

constexpr const char* kSource = "Quendal";

constexpr std::size_t kImageNameLength = 64;
constexpr int kMaxVersionDigits = 11;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int Elapsed(std::uint32_t since) {
  return static_cast<int>(DSTicks() - since);
}

// Writes `out` as the whole file at `path`, logging as `what`; 1 or the negated system
// error number.
Status WriteWhole(DiagnosticLog* log, const char* what, const char* path, const std::string& out,
                  std::uint32_t start);

// A failed system call with errno left at 0 still has to come back negative.
Status SystemError() {
  return errno > 0 ? -errno : -EIO;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

struct NewImage {
  std::string text;
  std::array<std::uint32_t, kVectorCount> vectors;
  std::string name;
  std::int32_t version = 0;
  int kind = 0;  // 0: the file name names no device type
};

// Reads the whole file; returns 1, -60, -100 for a file above the size bound, or the negated
// system error number. The size is only a hint (a folder or a device may report anything),
// so the bound is also kept while reading.
Status ReadFile(std::FILE* f, std::string* content) {
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > 0 && static_cast<std::uint64_t>(size) > kMaxTITextFileBytes) return kNotTIText;
    if (size > 0) content->reserve(static_cast<std::size_t>(size) + 1);
    std::rewind(f);
  }
  char chunk[16384];
  for (;;) {
    std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    content->append(chunk, n);
    if (content->size() > kMaxTITextFileBytes) return kNotTIText;
    if (n < sizeof chunk) break;
  }
  return std::ferror(f) ? SystemError() : kOk;
}

// Digits after the first blank or "-", at most 11 of them; 0 when there are none, or when
// they do not fit the signed 32-bit version.
std::int32_t VersionFromName(std::string_view name) {
  std::size_t start = name.find_first_of(" -");
  if (start == std::string_view::npos) return 0;
  std::uint64_t value = 0;
  int digits = 0;
  for (std::size_t i = start + 1; i < name.size() && digits < kMaxVersionDigits; ++i) {
    if (!IsDigit(name[i])) continue;
    value = value * 10 + static_cast<std::uint64_t>(name[i] - '0');
    ++digits;
  }
  if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return 0;
  return static_cast<std::int32_t>(value);
}

void NameFromPath(std::string_view path, NewImage* image) {
  std::size_t slash = path.find_last_of("\\/");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  std::string name(path.substr(0, kImageNameLength));
  std::size_t txt = name.find(".txt");
  if (txt != std::string::npos) name.resize(txt);

  std::string word = name.substr(0, name.find_first_of(" -_"));
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  int kind = FindDeviceTypeCode(word.c_str());
  if (kind >= 1 && kind <= kLastDeviceType) {
    image->kind = kind;
  } else if (word == "BREMO" || word == "CEMMO") {
    image->kind = kTypeDigitalSensor;
  }

  image->version = VersionFromName(name);

  std::size_t dash = name.rfind('-');
  if (dash != std::string::npos && dash > 0 && dash + 1 < name.size() && IsDigit(name[dash - 1]) &&
      IsDigit(name[dash + 1])) {
    name[dash] = '.';
  }
  image->name = std::move(name);
}

}  // namespace

std::int32_t ImageTextSum(const char* text, std::uint32_t length) {
  if (!text) return 0;
  // Unsigned arithmetic wraps where a signed sum of a huge text would overflow.
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    sum += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(text[i])));
  }
  return static_cast<std::int32_t>(sum);
}

HostBSL::HostBSL(DiagnosticLog* diagnosticLog, const BuiltinImage& image) {
  link.log = diagnosticLog;
  log = diagnosticLog;
  deviceKind = kTypeDigitalSensor;
  imageName.Set(image.name);
  imageVersion = VersionFromName(imageName.view());
  for (std::uint32_t i = 0; i < kVectorCount; ++i) vectors[i] = image.vectors[i];
  const char* text = image.text ? image.text : "";
  std::size_t length = std::strlen(text);
  try {
    imageText.assign(text, length);
  } catch (const std::bad_alloc&) {
    constructorError = kOutOfMemory;
    return;
  }
  imageTextLength = static_cast<std::uint32_t>(length);
  if (length != image.length || ImageTextSum(text, imageTextLength) != image.sum) {
    // A damaged image must never reach a device.
    constructorError = kImageCheckFailed;
    imageText.clear();
    imageTextLength = 0;
  }
}

Status BSLLoadTIFile(HostBSL* host, const char* path) {
  if (!host || !path) return kMissingArgument;
  DiagnosticLog* log = host->log;
  std::uint32_t start = DSTicks();
  host->loadProblem.clear();

  // A FIFO would block the open and a device or a huge file the read: looked at first.
  if (const std::string why = InputFileProblem(path, kMaxTITextFileBytes); !why.empty()) {
    host->loadProblem = "the file cannot be read as firmware: " + why;
    if (log) {
      log->Print(kLogFailure, kSource, "BSLLoadTIFile refused %s: %s", path, why.c_str());
    }
    return kNotTIText;
  }
  errno = 0;
  File file(std::fopen(path, "rb"));
  if (!file) {
    Status rc = SystemError();
    if (log) {
      log->Print(kLogFailure, kSource, "BSLLoadTIFile got error %d trying to open datafile %s", -rc,
                 path);
    }
    return rc;
  }

  Status rc = kOk;
  NewImage image;
  TITextProblem problem;
  try {
    std::string content;
    rc = ReadFile(file.get(), &content);
    file.reset();
    if (rc == kNotTIText) {
      problem.why = "the file is larger than " + std::to_string(kMaxTITextFileBytes >> 20) + " MB";
    } else if (rc >= 0) {
      rc = ParseTIText(content, &image.text, &image.vectors, &problem);
    }
    if (rc >= 0 && image.text.size() > std::numeric_limits<std::int32_t>::max()) rc = kOutOfMemory;
    if (rc >= 0) NameFromPath(path, &image);
  } catch (const std::bad_alloc&) {
    rc = kOutOfMemory;
  } catch (const std::length_error&) {
    rc = kOutOfMemory;
  }
  if (rc < 0) {
    if (rc == kNotTIText) {
      host->loadProblem = problem.Describe();
      if (log) {
        log->Print(kLogStep, kSource,
                   "BSLLoadTIFile: file %s is not a valid TI-Text file: %s (%d ms)", path,
                   host->loadProblem.c_str(), Elapsed(start));
      }
    } else if (log) {
      log->Print(kLogFailure, kSource, "BSLLoadTIFile failed with error %d (%d ms)", rc,
                 Elapsed(start));
    }
    return rc;
  }

  host->imageText.swap(image.text);
  host->imageTextLength = static_cast<std::uint32_t>(host->imageText.size());
  host->vectors = image.vectors;
  host->imageFromFile = true;
  host->imageName.Set(image.name);
  host->imageVersion = image.version;
  if (image.kind != 0) host->deviceKind = static_cast<std::int8_t>(image.kind);
  if (log) {
    log->Print(kLogStep, kSource, "BSLLoadTIFile loaded file %s (%d ms)", path, Elapsed(start));
  }
  return kOk;
}

Status BSLWriteTIFile(HostBSL* host, const char* path) {
  if (!host || !path) return kMissingArgument;
  DiagnosticLog* log = host->log;
  std::uint32_t start = DSTicks();

  std::string out;
  try {
    std::string_view text(host->imageText.data(),
                          std::min<std::size_t>(host->imageTextLength, host->imageText.size()));
    out.reserve(text.size() + text.size() / 32 + 128);
    int column = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '@') {
        std::size_t digits = std::min<std::size_t>(5, text.size() - i - 1);
        out.append(text.substr(i, 1 + digits));
        out.push_back('\n');
        i += digits;
        column = 0;
        continue;
      }
      out.push_back(text[i]);
      if (++column == 32) {
        out.push_back('\n');
        column = 0;
      }
    }
    char tail[128];
    const auto& v = host->vectors;
    std::snprintf(tail, sizeof tail, "\n@%X\n", static_cast<unsigned>(kVectorBase));
    out.append(tail);
    for (std::uint32_t row = 0; row < kVectorCount; row += 8) {
      std::snprintf(tail, sizeof tail, "%04X%04X%04X%04X%04X%04X%04X%04X\n", v[row], v[row + 1],
                    v[row + 2], v[row + 3], v[row + 4], v[row + 5], v[row + 6], v[row + 7]);
      out.append(tail);
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }

  return WriteWhole(log, "BSLWriteTIFile", path, out, start);
}

Status WriteTITextFile(HostBSL* host, const char* path) {
  if (!host || !path) return kMissingArgument;
  std::uint32_t start = DSTicks();
  std::string out;
  try {
    out = ImageToTIText(
        std::string_view(host->imageText.data(),
                         std::min<std::size_t>(host->imageTextLength, host->imageText.size())),
        host->vectors);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (out.empty()) return kNotTIText;
  return WriteWhole(host->log, "WriteTITextFile", path, out, start);
}

namespace {

Status WriteWhole(DiagnosticLog* log, const char* what, const char* path, const std::string& out,
                  std::uint32_t start) {
  errno = 0;
  std::FILE* f = std::fopen(path, "wb");
  if (!f) {
    Status rc = SystemError();
    if (log) {
      log->Print(kLogFailure, kSource, "%s got error %d trying to open datafile %s", what, -rc,
                 path);
    }
    return rc;
  }
  // A dump cut short by a full disk must not be reported as written.
  errno = 0;
  bool written = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  Status rc = written ? kOk : SystemError();
  errno = 0;
  if (std::fclose(f) != 0 && rc == kOk) rc = SystemError();
  if (rc < 0) {
    if (log)
      log->Print(kLogFailure, kSource, "%s got error %d writing datafile %s", what, -rc, path);
    return rc;
  }
  if (log) log->Print(kLogStep, kSource, "%s wrote file %s (%d ms)", what, path, Elapsed(start));
  return kOk;
}

}  // namespace

}  // namespace quendal
