#pragma once
// Paths are the program's own text, UTF-8 on every system (the Windows programs run with
// UTF-8 as their code page). std::filesystem reads a narrow string in the C runtime's code
// page on Windows instead, which would make "José" a folder named "JosÃ©": every path goes
// to and from it through these.
#include <filesystem>
#include <string>
#include <string_view>

namespace quendal {

inline std::filesystem::path FilePath(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string FilePathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace quendal
