#pragma once
// The version and the place of the running program file.
#include <string>

namespace quendal {

// The program file's "FileVersion" (US English, Windows Latin-1 block): "Unknown" when the
// value cannot be read, empty when the file has no version resource. Where program files
// carry no such resource, the version of the build.
std::string ProgramFileVersion();

// The folder of the running program file, without a trailing separator; "" when the
// system does not say.
std::string ProgramFolder();

// The name of the system the program was built for, as users know it: "Windows", "Linux",
// "macOS".
const char* OperatingSystemName();

}  // namespace quendal
