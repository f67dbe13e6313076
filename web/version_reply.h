#pragma once
// The version service's document read without Qt, so that the fuzz target and the window
// share one reader.
#include <cstdint>
#include <string>
#include <string_view>

namespace quendal {

inline constexpr std::int32_t kVersionReplyUnreadable = -1002;

struct VersionText {
  std::int32_t code = 0;  // 0, or kVersionReplyUnreadable
  std::int32_t version = 0;
  std::string address;  // UTF-8, from the first "http"
};

// "3.97 http://..." or "397\thttp://...": a version before the address, as a whole number of
// hundredths or as a number below 100 that is multiplied by 100.
VersionText ParseVersionText(std::string_view utf8);

}  // namespace quendal
