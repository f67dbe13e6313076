#pragma once
// How long the phase in progress still takes, from its own measured rate: erase, upload and
// the rest move at rates of their own, so one rate for the whole update would guess wrong.
// Fed with readings of any clock, so it runs the same under a test's made-up time.
#include <cstdint>
#include <map>
#include <string>

namespace quendal::cli {

class TimeLeft {
 public:
  // `done` of `total` units of work (segments, bytes) of `phase`, read at `seconds`.
  void Work(const std::string& phase, double seconds, std::uint64_t done, std::uint64_t total);
  // The seconds the phase of the last reading still takes at `seconds`; negative while its
  // rate is not yet known (less than a second measured, or no work done).
  double SecondsLeft(double seconds);
  // The smoothed rate of the phase of the last reading, units a second; 0 when not known.
  double Rate() const;
  // The phase of the last reading; empty before the first.
  const std::string& Phase() const { return phase_; }

 private:
  struct PhaseRate {
    double firstSeconds = 0;
    std::uint64_t firstDone = 0;
    double lastSeconds = 0;  // where the last rate sample ended
    std::uint64_t lastDone = 0;
    double seconds = 0;  // the latest reading
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    double rate = 0;  // smoothed; 0: not measured yet
  };
  std::map<std::string, PhaseRate> phases_;
  std::string phase_;
  // The last estimate given, so that it only counts down unless the rate really drops.
  double shown_ = -1;
  double shownAt_ = 0;
  std::string shownPhase_;
  double higherSince_ = -1;  // since when the estimate has been above the countdown
};

}  // namespace quendal::cli
