#pragma once
// Loader frames as a host writes them, built here with their own sum so that a device that
// sums differently cannot agree with them by construction.
#include <cstdio>
#include <string>

namespace quendal::sim::frames {

inline std::string Frame(char letter, const std::string& payload) {
  std::string body = std::string(1, letter) + payload + ".";
  unsigned long sum = 0;
  for (unsigned char c : body) sum += c;
  char check[8];
  std::snprintf(check, sizeof check, "%04lX", sum % 65535);
  return body + check;
}

inline std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

}  // namespace quendal::sim::frames
