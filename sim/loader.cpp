#include "sim/loader.h"

#include <cstdio>
#include <vector>

namespace quendal::sim {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex(std::string_view text, std::uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    int d = HexValue(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<std::uint32_t>(d);
  }
  *value = v;
  return true;
}

constexpr std::size_t kChecksumDigits = 4;
constexpr std::size_t kVectorPayload = kVectorWords * 4;

const char kAck[] = "+\r";
const char kNak[] = "-\r";
const char kWhat[] = "?\r";

}  // namespace

std::uint32_t FrameSum(std::string_view text) {
  std::uint64_t sum = 0;
  for (char c : text) sum += static_cast<std::uint8_t>(c);
  return static_cast<std::uint32_t>(sum % 65535);
}

ParsedFrame ParseFrame(std::string_view line) {
  ParsedFrame frame;
  if (line.empty()) return frame;
  frame.letter = line[0];
  std::size_t dot = line.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || line.size() - dot - 1 != kChecksumDigits) {
    return frame;
  }
  std::uint32_t given = 0;
  if (!ParseHex(line.substr(dot + 1), &given)) return frame;
  frame.payload = line.substr(1, dot - 1);
  frame.check =
      given == FrameSum(line.substr(0, dot + 1)) ? FrameCheck::kGood : FrameCheck::kBadChecksum;
  return frame;
}

ResidentLoader::ResidentLoader(Flash* flash, std::uint32_t version)
    : flash_(flash), version_(version) {}

void ResidentLoader::Reset() {
  state_ = LoaderState::kWaiting;
  line_.clear();
  overlong_ = false;
  addressSet_ = false;
  address_ = 0;
}

void ResidentLoader::Activate() {
  Reset();
  state_ = LoaderState::kActive;
}

bool ResidentLoader::Feed(std::uint8_t byte, std::string* answer, std::string* line) {
  if (state_ == LoaderState::kWaiting) {
    if (byte == '\r') {
      answer->push_back('$');
    } else if (byte == 'P') {
      answer->push_back('#');
      state_ = LoaderState::kActive;
    }
    return false;
  }
  if (byte != '\r') {
    if (line_.size() < kMaxLine) {
      line_.push_back(static_cast<char>(byte));
    } else {
      overlong_ = true;
    }
    return false;
  }
  // An overlong line keeps only a stump that no letter matches.
  if (overlong_) line_.assign(1, '\x7F');
  line->swap(line_);
  line_.clear();
  overlong_ = false;
  return true;
}

LoaderOutcome ResidentLoader::Execute(std::string_view line) {
  LoaderOutcome out;
  if (line.empty()) {
    out.answer = kWhat;
    return out;
  }
  if (line[0] == 'g') {
    char text[24];
    std::snprintf(text, sizeof text, "+%u+\r", static_cast<unsigned>(version_));
    out.answer = text;
    return out;
  }
  const char letter = line[0];
  if (letter != '@' && letter != 'W' && letter != 'X' && letter != 'V') {
    out.answer = kWhat;
    return out;
  }
  ParsedFrame frame = ParseFrame(line);
  bool done = false;
  if (frame.check == FrameCheck::kGood) {
    switch (letter) {
      case '@':
        done = SetAddress(frame.payload);
        break;
      case 'W':
        done = Write(frame.payload);
        break;
      case 'X':
        done = Erase(frame.payload);
        break;
      default:
        done = Vectors(frame.payload, &out.restart);
        break;
    }
  }
  out.answer = done ? kAck : kNak;
  return out;
}

bool ResidentLoader::AddressDigits(std::string_view digits, std::uint32_t* value) const {
  std::size_t want = flash_->layout().extendedAddresses ? 5 : 4;
  return digits.size() == want && ParseHex(digits, value);
}

bool ResidentLoader::SetAddress(std::string_view digits) {
  std::uint32_t a = 0;
  if (!AddressDigits(digits, &a)) return false;
  address_ = a;
  addressSet_ = true;
  return true;
}

bool ResidentLoader::Write(std::string_view hex) {
  // Without an address the data would land wherever the last session left off.
  if (!addressSet_ || hex.empty() || hex.size() % 4 != 0) return false;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 4) {
    std::uint32_t word = 0;
    if (!ParseHex(hex.substr(i, 4), &word)) return false;
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  if (!flash_->Program(address_, bytes.data(), bytes.size())) return false;
  address_ += static_cast<std::uint32_t>(bytes.size());
  return true;
}

bool ResidentLoader::Erase(std::string_view digits) {
  std::uint32_t a = 0;
  return AddressDigits(digits, &a) && flash_->EraseSegmentAt(a);
}

bool ResidentLoader::Vectors(std::string_view hex, bool* restart) {
  if (hex.size() != kVectorPayload) return false;
  VectorTable vectors{};
  for (std::size_t i = 0; i < kVectorWords; ++i) {
    std::uint32_t word = 0;
    if (!ParseHex(hex.substr(4 * i, 4), &word)) return false;
    vectors[i] = static_cast<std::uint16_t>(word);
  }
  flash_->StoreVectors(vectors);
  *restart = vectors[kVectorWords - 1] != 0xFFFF;
  return true;
}

}  // namespace quendal::sim
