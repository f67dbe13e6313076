#pragma once
// Waits for a peer (a simulated device's own thread) to reach a state instead of sleeping a
// guess that a loaded machine outlasts: polls `done` until it holds or `limitMs` passes.
#include <chrono>
#include <thread>

namespace quendal::test {

template <typename Done>
bool Eventually(Done done, int limitMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace quendal::test
