#include "app/cli/time_left.h"

#include <algorithm>
#include <cmath>

namespace quendal::cli {
namespace {

// A rate over less than this is noise: a frame's reply can take a while, the next none.
constexpr double kSampleSeconds = 2.0;
// How quickly the smoothed rate follows a changed one: a few samples, not one.
constexpr double kSmoothingSeconds = 5.0;
// An estimate may rise again only for a real slowdown, not for a slow frame or two: a
// lower rate that lasts, or one far lower.
constexpr double kRiseAllowed = 1.25;
constexpr double kLowerRateSeconds = 2 * kSmoothingSeconds;

}  // namespace

void TimeLeft::Work(const std::string& phase, double seconds, std::uint64_t done,
                    std::uint64_t total) {
  auto [it, added] = phases_.try_emplace(phase);
  PhaseRate& p = it->second;
  // A phase met again (a loader restarted) or work counted afresh starts a new measure,
  // but keeps the rate it had: the device is the same.
  if (added || done < p.done) {
    p.firstSeconds = p.lastSeconds = seconds;
    p.firstDone = p.lastDone = done;
  }
  p.seconds = seconds;
  p.done = done;
  p.total = total;
  phase_ = phase;
  const double span = seconds - p.lastSeconds;
  if (span >= kSampleSeconds && done > p.lastDone) {
    const double sample = static_cast<double>(done - p.lastDone) / span;
    if (p.rate <= 0) {
      p.rate = sample;
    } else {
      const double weight = 1.0 - std::exp(-span / kSmoothingSeconds);
      p.rate += weight * (sample - p.rate);
    }
    p.lastSeconds = seconds;
    p.lastDone = done;
  }
}

double TimeLeft::Rate() const {
  auto it = phases_.find(phase_);
  return it == phases_.end() ? 0 : it->second.rate;
}

double TimeLeft::SecondsLeft(double seconds) {
  auto it = phases_.find(phase_);
  if (it == phases_.end() || it->second.rate <= 0) return -1;
  const PhaseRate& p = it->second;
  const std::uint64_t left = p.total > p.done ? p.total - p.done : 0;
  // The work since the last reading goes on at the same rate.
  double estimate = static_cast<double>(left) / p.rate - (seconds - p.seconds);
  if (estimate < 0) estimate = 0;
  // The time left counts down; it goes up again only for a rate that stays lower (longer
  // than the smoothing takes) or falls far, not for a slow reply or two.
  if (shownPhase_ == phase_ && shown_ >= 0) {
    const double countdown = std::max(0.0, shown_ - (seconds - shownAt_));
    if (estimate <= countdown) {
      higherSince_ = -1;
    } else if (estimate > countdown * kRiseAllowed + 1.0) {
      higherSince_ = -1;
    } else {
      if (higherSince_ < 0) higherSince_ = seconds;
      if (seconds - higherSince_ < kLowerRateSeconds) {
        estimate = countdown;
      } else {
        higherSince_ = -1;
      }
    }
  } else {
    higherSince_ = -1;
  }
  shown_ = estimate;
  shownAt_ = seconds;
  shownPhase_ = phase_;
  return estimate;
}

}  // namespace quendal::cli
