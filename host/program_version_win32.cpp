#include <windows.h>

#include <string>
#include <vector>

#include "host/program_version.h"

namespace quendal {

const char* OperatingSystemName() {
  return "Windows";
}

std::string ProgramFileVersion() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "Unknown";
    if (n < path.size()) break;
    path.resize(path.size() * 2);
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.data(), &ignored);
  if (size == 0) return "";
  std::vector<char> info(size);
  if (!GetFileVersionInfoW(path.data(), 0, size, info.data())) return "Unknown";
  void* value = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(info.data(), L"\\StringFileInfo\\040904E4\\FileVersion", &value, &chars) ||
      !value) {
    return "Unknown";
  }
  const wchar_t* text = static_cast<const wchar_t*>(value);
  std::wstring wide(text, wcsnlen(text, chars));
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), narrow.data(),
                        bytes, nullptr, nullptr);
  }
  return narrow;
}

std::string ProgramFolder() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) break;
    path.resize(path.size() * 2);
  }
  std::string file(path.data());
  const std::size_t slash = file.find_last_of("\\/");
  if (slash == std::string::npos) return {};
  return file.substr(0, slash);
}

}  // namespace quendal
