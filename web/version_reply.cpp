#include "web/version_reply.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace quendal {
namespace {

constexpr std::size_t kMaxAddressUnits = 999;  // UTF-16 code units, as the window shows it

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::string_view Trim(std::string_view text) {
  text = TrimRight(text);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

// At most `units` UTF-16 code units of UTF-8 text, never cutting a character in two.
std::string_view FirstUnits(std::string_view text, std::size_t units) {
  std::size_t counted = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;  // continues the character before
    counted += c >= 0xF0 ? 2 : 1;      // four-byte characters are surrogate pairs
    if (counted > units) return text.substr(0, i);
  }
  return text;
}

bool ReadWhole(std::string_view text, std::int32_t* value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ReadReal(std::string_view text, double* value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

VersionText ParseVersionText(std::string_view utf8) {
  VersionText reply;
  const std::size_t at = utf8.find("http");
  if (at == std::string_view::npos) {
    reply.code = kVersionReplyUnreadable;
    return reply;
  }
  reply.address = std::string(TrimRight(FirstUnits(utf8.substr(at), kMaxAddressUnits)));
  // The character just before the address separates it from the version.
  const std::string_view versionText = Trim(utf8.substr(0, at > 0 ? at - 1 : 0));
  std::int32_t version = 0;
  if (!ReadWhole(versionText, &version)) version = 0;
  // Below ten it is units and hundredths (3.97), read again as such.
  if (static_cast<std::uint32_t>(version) < 10) {
    double number = 0;
    if (!ReadReal(versionText, &number) || !std::isfinite(number)) {
      reply.code = kVersionReplyUnreadable;
      return reply;
    }
    if (number < 100) number *= 100;
    const double rounded = std::floor(number + 0.5);
    if (rounded > std::numeric_limits<std::int32_t>::max() ||
        rounded < std::numeric_limits<std::int32_t>::min()) {
      reply.code = kVersionReplyUnreadable;
      return reply;
    }
    version = static_cast<std::int32_t>(rounded);
  }
  reply.version = version;
  return reply;
}

}  // namespace quendal
