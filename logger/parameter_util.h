#pragma once
// What the parameter commands share: the table-driven members (parameters.cpp) and the
// members with their own rules (parameter_rules.cpp). Not for callers outside logger/.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
// The line of the link's last answer (`received` bytes) that holds a value: after the first
// carriage return when asked, from its first character that is no white space to the next
// carriage return, a NUL included.
std::string_view AnswerLine(const LoggerLink* link, Status received, bool afterFirstCr);
// Names a value longer than its field in the link (unfitText) and the log; -150.
Status RefuseUnfit(LoggerLink* link, const char* command, std::size_t length, std::size_t max);
// A text value of at most `max` characters from the answer to `command`, taken whole: -31
// for the prompt alone, -30 for nothing, -150 for a line longer than the field.
Status ReadTextValue(LoggerLink* link, const char* command, Status received, bool afterFirstCr,
                     std::size_t max, std::string* value);

}  // namespace quendal::logger_detail
