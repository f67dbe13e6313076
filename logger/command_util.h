#pragma once
// Helpers shared by the logger library's sources; not for callers outside logger/.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "host/timing.h"
#include "logger/logger_link.h"

namespace quendal::logger_detail {

inline const char* Source(const LoggerLink* link) {
  return link->portName.empty() ? kSerialSource : link->portName.c_str();
}

inline int Since(std::uint32_t start) {
  return static_cast<int>(DSTicks() - start);
}

inline bool Contains(const char* text, const char* what) {
  return std::strstr(text, what) != nullptr;
}

inline bool IsRadio(const LoggerLink* link) {
  return link->request.kind == kRadioConnection;
}

// One transaction into a caller-sized answer buffer.
template <std::size_t N>
Status Transact(LoggerLink* link, const char* command, char terminator, std::uint32_t timeoutMs,
                char (&answer)[N]) {
  std::uint32_t len = N;
  return DeviceCommand(link, command, terminator, timeoutMs, answer, &len, nullptr);
}

// A new-firmware logger confirms a setting with "OK", an old one with its prompt.
inline bool Confirmed(const LoggerLink* link, const char* answer) {
  return link->info.newFirmware ? Contains(answer, "OK") : Contains(answer, "\r>");
}

// The text after the first carriage return, or the whole text without one.
inline const char* AfterFirstCr(const char* text) {
  const char* cr = std::strchr(text, '\r');
  return cr ? cr + 1 : text;
}

inline const char* SkipSpace(const char* text) {
  while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') ++text;
  return text;
}

// Reads a decimal number; false when none is there.
bool ReadInt(const char* text, std::int32_t* value);

// Table-driven log formats cannot be checked by the compiler at the call, so the tables
// are checked here instead: `expected` lists the conversions in order, blank-separated
// ("s d", "+.5f d" is written "f d").
consteval bool FormatTakes(std::string_view format, std::string_view expected) {
  std::size_t e = 0;
  auto next_expected = [&]() {
    while (e < expected.size() && expected[e] == ' ') ++e;
    std::size_t start = e;
    while (e < expected.size() && expected[e] != ' ') ++e;
    return expected.substr(start, e - start);
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    ++i;
    if (i < format.size() && format[i] == '%') continue;
    while (i < format.size() &&
           std::string_view("-+ #0123456789.").find(format[i]) != std::string_view::npos)
      ++i;
    std::size_t start = i;
    while (i < format.size() && (format[i] == 'l' || format[i] == 'h')) ++i;
    if (i >= format.size()) return false;
    if (format.substr(start, i - start + 1) != next_expected()) return false;
  }
  return next_expected().empty();
}

consteval bool FormatTakes(const char* format, std::string_view expected) {
  return format == nullptr || FormatTakes(std::string_view(format), expected);
}

}  // namespace quendal::logger_detail
