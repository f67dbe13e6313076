#pragma once
// What the parameter commands share: the table-driven members (parameters.cpp) and the
// members with their own rules (parameter_rules.cpp). Not for callers outside logger/.
#include <cstddef>
#include <cstdint>

#include "host/status.h"
#include "logger/logger_link.h"

namespace quendal::logger_detail {

inline constexpr std::uint32_t kTimeoutMs = 1100;
inline constexpr std::uint32_t kShortAnswer = 32;
inline constexpr std::uint32_t kLongAnswer = 64;
inline constexpr std::uint32_t kAdcAnswer = 128;
inline constexpr std::size_t kAnswerSpace = 160;
inline constexpr std::size_t kCommandSpace = 160;

// The log goes with every feedback post: a secret is shown only as being there.
inline constexpr const char* kMasked = "********";

bool ValidDirection(int direction);
Status Fail(LoggerLink* link, const char* member, Status rc, std::uint32_t start);
Status Exchange(LoggerLink* link, const char* command, std::uint32_t answerBytes, char* answer);
Status ReadTextValue(const char* text, char* out, std::size_t max);

}  // namespace quendal::logger_detail
