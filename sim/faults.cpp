#include "sim/faults.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace quendal::sim {
namespace {

struct KindName {
  FaultKind kind;
  const char* name;
};

constexpr KindName kKinds[] = {
    {FaultKind::kRefuse, "refuse"},          {FaultKind::kCorruptIn, "corrupt-in"},
    {FaultKind::kCorruptOut, "corrupt-out"}, {FaultKind::kDropIn, "drop-in"},
    {FaultKind::kDropOut, "drop-out"},       {FaultKind::kDelay, "delay"},
    {FaultKind::kSilence, "silence"},        {FaultKind::kPowerLoss, "power"},
};

bool IsByteKind(FaultKind k) {
  return k == FaultKind::kCorruptIn || k == FaultKind::kCorruptOut || k == FaultKind::kDropIn ||
         k == FaultKind::kDropOut;
}

bool ParseNumber(std::string_view text, std::uint32_t* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseRate(std::string_view text, double* value) {
  if (text.empty() || text.size() > 30) return false;
  std::string copy(text);
  char* end = nullptr;
  double v = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !(v >= 0 && v <= 1)) return false;
  *value = v;
  return true;
}

// A changed byte is always a different byte, and stays out of CR so a line stays a line.
char Flip(char c) {
  char f = static_cast<char>(c ^ 0x01);
  return f == '\r' ? static_cast<char>(c ^ 0x02) : f;
}

// Turns a hex digit into a byte that is no hex digit, so that a hit frame is refused for
// sure: flipping two digits one up and one down would leave the sum, and the checksum, intact.
char Spoil(char c) {
  char f = static_cast<char>(c ^ 0x40);
  return f == '\r' ? static_cast<char>(c ^ 0x60) : f;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

bool ParseFaultRule(std::string_view spec, FaultRule* rule, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = std::string(why) + " in fault \"" + std::string(spec) + "\"";
    return false;
  };
  FaultRule r;
  std::string_view rest = spec;
  std::size_t nameEnd = rest.find_first_of("@%:,");
  std::string_view name = rest.substr(0, nameEnd);
  bool known = false;
  for (const KindName& k : kKinds) {
    if (name == k.name) {
      r.kind = k.kind;
      known = true;
    }
  }
  if (!known) return fail("unknown kind");
  rest.remove_prefix(name.size());

  auto field = [&rest](std::string_view stops) {
    std::size_t end = rest.find_first_of(stops);
    std::string_view f = rest.substr(0, end);
    rest.remove_prefix(f.size());
    return f;
  };
  if (!rest.empty() && rest[0] == '@') {
    rest.remove_prefix(1);
    if (!ParseNumber(field("+:,"), &r.frame) || r.frame == 0) return fail("bad frame number");
    if (!rest.empty() && rest[0] == '+') {
      rest.remove_prefix(1);
      if (!ParseNumber(field(":,"), &r.count) || r.count == 0) return fail("bad count");
    }
  } else if (!rest.empty() && rest[0] == '%') {
    rest.remove_prefix(1);
    if (!ParseRate(field(":,"), &r.rate)) return fail("bad rate (0 to 1)");
  } else {
    return fail("no @FRAME or %RATE");
  }
  if (!rest.empty() && rest[0] == ':') {
    if (rest.size() < 2) return fail("no letter");
    r.letter = rest[1];
    rest.remove_prefix(2);
  }
  while (!rest.empty()) {
    if (rest[0] != ',') return fail("unexpected text");
    rest.remove_prefix(1);
    std::string_view item = field(",");
    std::size_t eq = item.find('=');
    std::string_view key = item.substr(0, eq);
    std::uint32_t value = 0;
    if (eq == std::string_view::npos || !ParseNumber(item.substr(eq + 1), &value)) {
      return fail("bad option");
    }
    if (key == "ms") {
      r.ms = value;
    } else if (key == "bytes" && value > 0) {
      r.bytes = value;
    } else {
      return fail("bad option");
    }
  }
  *rule = r;
  return true;
}

FaultInjector::FaultInjector(FaultPlan plan)
    : plan_(std::move(plan)),
      seen_(plan_.rules.size(), 0),
      state_(plan_.seed ^ 0x9E3779B97F4A7C15ull) {}

bool FaultInjector::Chance(double rate) {
  if (rate <= 0) return false;
  // SplitMix64: the same sequence on every library, unlike std:: distributions.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53 < rate;
}

FrameFaults FaultInjector::OnFrame(char letter) {
  FrameFaults f;
  for (std::size_t i = 0; i < plan_.rules.size(); ++i) {
    const FaultRule& r = plan_.rules[i];
    if (r.letter != 0 && r.letter != letter) continue;
    std::uint32_t n = ++seen_[i];
    bool hit;
    if (r.frame != 0) {
      hit = n >= r.frame && n - r.frame < r.count;
    } else {
      // Byte kinds by chance act on bytes, not on frames.
      hit = !IsByteKind(r.kind) && Chance(r.rate);
    }
    if (!hit) continue;
    switch (r.kind) {
      case FaultKind::kRefuse:
        f.refuse = true;
        break;
      case FaultKind::kCorruptIn:
        f.corruptIn += r.bytes;
        break;
      case FaultKind::kCorruptOut:
        f.corruptOut += r.bytes;
        break;
      case FaultKind::kDropIn:
        f.dropIn += r.bytes;
        break;
      case FaultKind::kDropOut:
        f.dropOut += r.bytes;
        break;
      case FaultKind::kDelay:
        f.delayMs += r.ms;
        break;
      case FaultKind::kSilence:
        f.silence = true;
        f.silenceMs = std::max(f.silenceMs, r.ms);
        break;
      case FaultKind::kPowerLoss:
        f.powerLoss = true;
        f.powerOffMs = std::max(f.powerOffMs, r.ms);
        break;
    }
  }
  return f;
}

bool FaultInjector::PassByte(char* byte, FaultKind corrupt, FaultKind drop) {
  for (const FaultRule& r : plan_.rules) {
    if (r.frame != 0 || (r.kind != corrupt && r.kind != drop) || !Chance(r.rate)) continue;
    if (r.kind == drop) return false;
    *byte = Flip(*byte);
  }
  return true;
}

namespace {

// The bytes just before the checksum's "."; the tail of a line without one.
std::size_t FrameTarget(const std::string& line, std::uint32_t n, std::size_t* count) {
  std::size_t end = line.rfind('.');
  if (end == std::string::npos || end == 0) end = line.size();
  // Keep the letter: the fault is in the data, not in what kind of frame it is.
  std::size_t first = end > 1 ? 1 : 0;
  std::size_t room = end - first;
  *count = n < room ? n : room;
  return end - *count;
}

}  // namespace

void FaultInjector::CorruptFrame(std::string* line, std::uint32_t n) {
  std::size_t count = 0;
  std::size_t at = FrameTarget(*line, n, &count);
  for (std::size_t i = at; i < at + count; ++i) (*line)[i] = Spoil((*line)[i]);
}

void FaultInjector::DropFromFrame(std::string* line, std::uint32_t n) {
  std::size_t count = 0;
  std::size_t at = FrameTarget(*line, n, &count);
  line->erase(at, count);
}

void FaultInjector::CorruptAnswer(std::string* answer, std::uint32_t n) {
  for (std::size_t i = 0; i < answer->size() && i < n; ++i) (*answer)[i] = Flip((*answer)[i]);
}

void FaultInjector::DropFromAnswer(std::string* answer, std::uint32_t n) {
  answer->erase(0, n < answer->size() ? n : answer->size());
}

}  // namespace quendal::sim
