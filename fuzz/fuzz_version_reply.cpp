// The version service's document: whatever arrives, the reader either refuses it or gives an
// address that starts with "http", has no trailing blanks and came from the document.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/version_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quendal;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const VersionText reply = ParseVersionText(text);
  if (reply.code != 0) {
    if (reply.code != kVersionReplyUnreadable || reply.version != 0) std::abort();
    return 0;
  }
  const std::string_view address = reply.address;
  if (address.substr(0, 4) != "http") std::abort();
  if (static_cast<unsigned char>(address.back()) <= ' ') std::abort();
  if (text.find(address) == std::string_view::npos) std::abort();
  return 0;
}
