#include "app/cli/image_command.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "app/cli/options.h"
#include "app/engine/updater_engine.h"
#include "loader/device_types.h"
#include "loader/host_bsl.h"
#include "loader/image_fit.h"

namespace quendal::cli {
namespace {

// One line that says what went wrong with a firmware file, with the result code.
std::string DescribeLoadFailure(const std::string& path, Status rc) {
  std::string what;
  if (rc == kNotTIText) {
    what = "is not a valid firmware file";
  } else if (rc == kOutOfMemory) {
    what = "could not be loaded: out of memory";
  } else if (rc < 0 && rc > -4096) {
    what = std::string("could not be opened: ") + std::strerror(-rc);
  } else {
    what = "could not be read";
  }
  return "quendal-cli: firmware file \"" + path + "\" " + what + " (error " + std::to_string(rc) +
         ")";
}

void PrintImage(const HostBSL& host) {
  const char* kindName = DeviceTypeDisplayName(host.deviceKind);
  std::printf("Name:    %s\n", host.imageName.c_str());
  std::printf("Version: %d\n", host.imageVersion);
  std::printf("Kind:    %d (%s)\n", host.deviceKind, kindName);
  std::printf("Length:  %u\n", host.imageTextLength);
  std::printf("Sum:     %d\n", ImageTextSum(host.imageText.data(), host.imageTextLength));
  for (std::uint32_t row = 0; row < kVectorCount; row += 8) {
    std::printf("%s %04X:", row == 0 ? "Vectors:" : "        ", kVectorBase + 2 * row);
    for (std::uint32_t i = row; i < row + 8; ++i) std::printf(" %04X", host.vectors[i]);
    std::printf("\n");
  }
}

// A type code in any case ("cvfour") or a table index ("15"); 0 when it names no type.
int ParseDeviceType(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
      text.size() <= 2) {
    int index = std::stoi(text);
    return index >= 1 && index <= kLastDeviceType ? index : 0;
  }
  std::string upper = text;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return FindDeviceTypeCode(upper.c_str());
}

// The type names --check takes, for the operator who gave another.
std::string TypeNames(const std::string& given) {
  std::string text = "the types are";
  for (int type = 1; type <= kLastDeviceType; ++type) {
    text += type == 1 ? " " : ", ";
    text += DeviceTypeCode(type);
  }
  text += " (or their numbers 1 to " + std::to_string(kLastDeviceType) + ")";
  if (TypeNamedByImage(given) == kTypeDigitalSensor) {
    text += "; a digital sensor such as ";
    text += given;
    text += " is ";
    text += DeviceTypeCode(kTypeDigitalSensor);
  }
  return text;
}

// Prints whether the image is made for the type and fits its memory; the exit status tells
// scripts the same.
int PrintFit(const HostBSL& host, int type) {
  DeviceProfile profile;
  DescribeDevice(type, 999, &profile);
  std::string why;
  std::string memory;
  CheckImagePurpose(host, type, &why);
  if (CheckImageFits(host, profile, &memory) < 0) why += (why.empty() ? "" : " ") + memory;
  if (!why.empty()) {
    std::printf("Check:   refused for %s (%s): %s\n", DeviceTypeCode(type),
                profile.displayName.c_str(), why.c_str());
    return kExitFailed;
  }
  std::printf("Check:   fits %s (%s)\n", DeviceTypeCode(type), profile.displayName.c_str());
  return kExitOk;
}

}  // namespace

int RunImageCommand(const std::vector<std::string_view>& args) {
  ParsedOptions options = ParseOptions(args, {"--firmware", "--dump", "--ti-text", "--check"}, {});
  int checkType = 0;
  if (options.error.empty()) {
    if (const std::string* type = options.Value("--check")) {
      checkType = ParseDeviceType(*type);
      if (checkType == 0)
        options.error = "'" + *type + "' names no device type; " + TypeNames(*type);
    }
  }
  if (!options.error.empty()) {
    std::fprintf(stderr,
                 "quendal-cli image: %s\nusage: quendal-cli image [--firmware FILE] "
                 "[--dump OUT] [--ti-text OUT] [--check TYPE]\n",
                 options.error.c_str());
    return kExitUsage;
  }

  HostBSL host(nullptr);
  if (host.constructorError < 0) {
    std::fprintf(stderr, "quendal-cli: the built-in firmware image is %s (error %d)\n",
                 host.constructorError == kImageCheckFailed ? "corrupt" : "not available",
                 host.constructorError);
    return kExitFailed;
  }
  // As the engine does: an instrument build's own image is for its own type.
  if (ThisBuild().targetType != kTypeDigitalSensor)
    host.deviceKind = static_cast<std::int8_t>(ThisBuild().targetType);
  if (const std::string* file = options.Value("--firmware")) {
    Status rc = BSLLoadTIFile(&host, file->c_str());
    if (rc < 0) {
      std::fprintf(stderr, "%s\n", DescribeLoadFailure(*file, rc).c_str());
      if (!host.loadProblem.empty()) std::fprintf(stderr, "  %s\n", host.loadProblem.c_str());
      return kExitFailed;
    }
    if (host.imageTextLength == 0) {
      std::fprintf(stderr, "quendal-cli: firmware file \"%s\" holds no program data\n",
                   file->c_str());
      return kExitFailed;
    }
  }
  PrintImage(host);
  if (checkType != 0 && PrintFit(host, checkType) != kExitOk) return kExitFailed;
  const std::pair<const char*, Status (*)(HostBSL*, const char*)> writers[] = {
      {"--dump", BSLWriteTIFile}, {"--ti-text", WriteTITextFile}};
  for (const auto& [option, write] : writers) {
    const std::string* out = options.Value(option);
    if (!out) continue;
    Status rc = write(&host, out->c_str());
    if (rc < 0) {
      std::fprintf(stderr, "quendal-cli: could not write the image to \"%s\": %s (error %d)\n",
                   out->c_str(), rc > -4096 ? std::strerror(-rc) : "failed", rc);
      return kExitFailed;
    }
  }
  return kExitOk;
}

}  // namespace quendal::cli
