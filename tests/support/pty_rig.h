#pragma once
// A pseudo-terminal pair for serial-level tests. The code under test opens SlavePath()
// with the real driver; a scripted peer on the master side runs in its own thread,
// expects what the host writes and answers.
//
//   PtyRig rig;
//   rig.Expect("get -ver\r").Send("\rKCD 1.23\r>");
//   ... drive the host ...
//   EXPECT_TRUE(rig.WaitDone()) << rig.FailureText();
//
// Steps run in order and may be queued at any time. The first failing step records a
// failure and drops the rest of the script. Everything the host writes is captured,
// whether or not a step expects it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quendal::test {

class PtyRig {
 public:
  PtyRig();
  ~PtyRig();
  PtyRig(const PtyRig&) = delete;
  PtyRig& operator=(const PtyRig&) = delete;

  // False when the pair could not be made; Error() tells why.
  bool ok() const { return masterFd_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return masterFd_; }

  // The host's next bytes must be `bytes`, within `timeoutMs` of the step's start.
  PtyRig& Expect(std::string bytes, std::uint32_t timeoutMs = 2000);
  // Writes `bytes` to the host (retrying for a while if the host has not opened yet).
  PtyRig& Send(std::string bytes);
  // Does nothing for `ms`.
  PtyRig& Pause(std::uint32_t ms);
  // The host must write nothing for `ms`.
  PtyRig& Silence(std::uint32_t ms);

  // Waits until every queued step has run. False on time-out or after a failure.
  bool WaitDone(std::uint32_t timeoutMs = 5000);
  std::vector<std::string> Failures() const;
  std::string FailureText() const;  // the failures, one a line, for test messages

  // Everything the host has written so far.
  std::string Received() const;
  // Waits until the host has written at least `bytes` bytes in all.
  bool WaitReceived(std::size_t bytes, std::uint32_t timeoutMs = 2000);

  // The line speed in force on the slave, as a number (0 when unknown). A master's
  // termios is its slave's, so this needs neither root nor the host's lock.
  std::uint32_t SlaveBaud() const;
  // Sets the slave's speed behind the host's back.
  bool SetSlaveBaud(std::uint32_t baud);

  // Closes the master side: the host sees its line hang up. The script stops.
  void HangUp();

 private:
  enum class Kind { kExpect, kSend, kPause, kSilence };
  using Clock = std::chrono::steady_clock;
  struct Step {
    Kind kind = Kind::kPause;
    std::string bytes;
    std::uint32_t ms = 0;
    bool started = false;
    Clock::time_point deadline;
    std::size_t mark = 0;  // sent so far (Send), capture size at the start (Silence)
  };

  PtyRig& Add(Kind kind, std::string bytes, std::uint32_t ms);
  void Run();
  void Drain(int waitMs);
  // Runs the front step as far as it goes now; true when it is finished.
  bool Advance(Step& step, std::unique_lock<std::mutex>& lock);
  void Fail(std::string why);  // with mutex_ held
  void Stop();

  int masterFd_ = -1;
  std::string slavePath_;
  std::string error_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> steps_;
  std::string capture_;
  std::size_t cursor_ = 0;  // capture consumed by Expect steps
  std::vector<std::string> failures_;
  bool stop_ = false;
  std::thread peer_;
};

}  // namespace quendal::test
