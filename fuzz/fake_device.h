#pragma once
// A device for the fuzz targets: the serial port and the clock are replaced (fake_port.cpp,
// fake_time.cpp), so the real driver and protocol code run in-process, and every write to
// the port is answered with the next reply of the input. Time is virtual: waits and
// time-outs pass at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quendal::fuzz {

// Each write to the port brings the next of these replies; after the last, silence.
void SetReplies(std::vector<std::string> replies);

// The fuzz input taken apart: strings from the front, each ended by a backslash and one
// more character ("\\\\" is a backslash), and choices from single bytes at the back, so
// that a seed reads as the replies it holds.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return size_ == 0; }

  std::string TakeString(std::size_t max) {
    std::string out;
    while (size_ > 0 && out.size() < max) {
      const char c = static_cast<char>(*data_++);
      --size_;
      if (c == '\\' && size_ > 0) {
        const char next = static_cast<char>(*data_++);
        --size_;
        if (next != '\\') break;
      }
      out.push_back(c);
    }
    return out;
  }

  // 0 .. count - 1 from the last byte (0 when none is left).
  int TakeChoice(int count) {
    if (size_ == 0) return 0;
    --size_;
    return data_[size_] % count;
  }

  std::vector<std::string> TakeReplies(std::size_t count) {
    std::vector<std::string> replies;
    while (replies.size() < count && size_ > 0) replies.push_back(TakeString(512));
    return replies;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace quendal::fuzz
