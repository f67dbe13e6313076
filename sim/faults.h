#pragma once
// Fault injection for a simulated device: rules that hit loader frames by position or by
// chance, and byte faults by chance, all from one seed so that a run can be repeated.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quendal::sim {

enum class FaultKind {
  kRefuse,      // the frame is answered "-" and not carried out
  kCorruptIn,   // bytes of the frame change on their way in
  kCorruptOut,  // bytes of the answer change on their way out
  kDropIn,      // bytes of the frame are lost on their way in
  kDropOut,     // bytes of the answer are lost on their way out
  kDelay,       // the answer leaves `ms` late
  kSilence,     // the device hears and says nothing for `ms`, starting with the frame
  kPowerLoss,   // power goes at the frame, before it is carried out, for `ms`
};

struct FaultRule {
  FaultKind kind = FaultKind::kRefuse;
  char letter = 0;          // only frames with this letter count; 0: every frame
  std::uint32_t frame = 0;  // the first frame hit, counting from 1; 0: by `rate`
  std::uint32_t count = 1;  // frames hit from `frame` on
  // With frame 0: the chance per frame; for the four byte kinds the chance per byte of all
  // traffic, shell included, whatever the letter.
  double rate = 0;
  std::uint32_t ms = 0;
  std::uint32_t bytes = 1;  // bytes changed or lost in a frame or answer hit by position
};

struct FaultPlan {
  std::vector<FaultRule> rules;
  std::uint64_t seed = 1;
  bool echo = false;  // no device at all, a loop-back plug: every byte comes straight back
};

// "KIND[@FRAME[+COUNT]|%RATE][:LETTER][,ms=N][,bytes=N]", e.g. "power@40:W,ms=500",
// "refuse@3+2", "corrupt-in%0.001". Kinds: refuse, corrupt-in, corrupt-out, drop-in,
// drop-out, delay, silence, power.
bool ParseFaultRule(std::string_view spec, FaultRule* rule, std::string* error);
const char* FaultKindName(FaultKind kind);

// What the rules do to one frame.
struct FrameFaults {
  bool refuse = false;
  bool silence = false;
  bool powerLoss = false;
  std::uint32_t silenceMs = 0;
  std::uint32_t powerOffMs = 0;
  std::uint32_t delayMs = 0;
  std::uint32_t corruptIn = 0;
  std::uint32_t dropIn = 0;
  std::uint32_t corruptOut = 0;
  std::uint32_t dropOut = 0;
};

class FaultInjector {
 public:
  FaultInjector() : FaultInjector(FaultPlan{}) {}
  explicit FaultInjector(FaultPlan plan);

  bool echo() const { return plan_.echo; }
  const FaultPlan& plan() const { return plan_; }

  // Counts one frame with `letter` against every rule and says what hits it.
  FrameFaults OnFrame(char letter);

  // Chance faults on single bytes: false when the byte is lost, else it may have changed.
  bool PassIn(char* byte) { return PassByte(byte, FaultKind::kCorruptIn, FaultKind::kDropIn); }
  bool PassOut(char* byte) { return PassByte(byte, FaultKind::kCorruptOut, FaultKind::kDropOut); }

  // Spoils or loses `n` payload bytes just before the checksum's "." (without a ".", the
  // last bytes), so that the frame is refused.
  static void CorruptFrame(std::string* line, std::uint32_t n);
  static void DropFromFrame(std::string* line, std::uint32_t n);
  // Changes or loses the first `n` bytes of an answer.
  static void CorruptAnswer(std::string* answer, std::uint32_t n);
  static void DropFromAnswer(std::string* answer, std::uint32_t n);

 private:
  bool Chance(double rate);
  bool PassByte(char* byte, FaultKind corrupt, FaultKind drop);

  FaultPlan plan_;
  std::vector<std::uint32_t> seen_;  // frames counted per rule
  std::uint64_t state_;
};

// The two ends of a loader frame's trip through the fault plan, shared by every simulated
// loader. `Counters` has framesByLetter, framesRefused, framesUnknown and framesAccepted.
// On the way in: counts the frame, asks the plan, and spoils the line as it says (a frame lost
// to power or silence is left alone: nobody reads it).
template <typename Counters>
FrameFaults TakeFrame(FaultInjector* faults, Counters* counters, std::string* line) {
  FrameFaults f;
  if (!line->empty()) {
    ++counters->framesByLetter[static_cast<std::uint8_t>((*line)[0])];
    f = faults->OnFrame((*line)[0]);
  }
  if (f.powerLoss || f.silence) return f;
  if (f.corruptIn > 0) FaultInjector::CorruptFrame(line, f.corruptIn);
  if (f.dropIn > 0) FaultInjector::DropFromFrame(line, f.dropIn);
  return f;
}
// On the way out: counts the loader's answer by its kind, then spoils it as planned.
template <typename Counters>
void SendFrameAnswer(const FrameFaults& f, Counters* counters, std::string* answer) {
  switch (answer->empty() ? '\0' : (*answer)[0]) {
    case '-':
      ++counters->framesRefused;
      break;
    case '?':
      ++counters->framesUnknown;
      break;
    default:
      ++counters->framesAccepted;
      break;
  }
  if (f.corruptOut > 0) FaultInjector::CorruptAnswer(answer, f.corruptOut);
  if (f.dropOut > 0) FaultInjector::DropFromAnswer(answer, f.dropOut);
}

}  // namespace quendal::sim
