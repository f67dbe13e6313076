#pragma once
// The version the running program file carries.
#include <string>

namespace quendal {

// The program file's "FileVersion" (US English, Windows Latin-1 block): "Unknown" when the
// value cannot be read, empty when the file has no version resource. Where program files
// carry no such resource, the version of the build.
std::string ProgramFileVersion();

}  // namespace quendal
