#pragma once
// Helpers shared by the instrument session's sources; not for callers outside instrument/.
#include <cstdint>
#include <string_view>
#include <cstring>

#include "host/timing.h"
#include "instrument/instrument_session.h"

namespace quendal::instrument_detail {

inline constexpr std::uint32_t kShortAnswer = 32;
inline constexpr std::uint32_t kValueAnswer = 512;
inline constexpr std::uint32_t kSettingTimeoutMs = 2000;

inline int Since(std::uint32_t start) {
  return static_cast<int>(DSTicks() - start);
}

inline bool Contains(const char* text, const char* what) {
  return std::strstr(text, what) != nullptr;
}

// One shell transaction with the prompt as terminator into a caller-sized answer buffer.
template <std::size_t N>
Status Transact(InstrumentSession* session, const char* command, std::uint32_t timeoutMs,
                char (&answer)[N], std::uint32_t* elapsedMs = nullptr) {
  std::uint32_t len = N;
  return DeviceCommand(&session->link, command, '>', timeoutMs, answer, &len, elapsedMs);
}

bool IsLoggerType(int type);

// Reads a decimal number as "%ld" would (white space, a sign, digits), kept within 32 bits;
// false when there is none.
bool ReadNumber(const char* text, std::int32_t* value);
// A shell answer that is one decimal number and nothing else but blanks, line ends and the
// prompt: a garbled count or number is no number.
bool ReadWholeNumber(const char* text, std::int32_t* value);
// Whether a value is what the line made of an error word ("EROR", "Unsuported"), or holds
// the prompt that only ends an answer: such text is no setting's value.
bool LooksGarbled(std::string_view value);

}  // namespace quendal::instrument_detail
