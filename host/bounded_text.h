#pragma once
// Fixed-capacity text field: always NUL-terminated, silently cut at its capacity.
#include <cstddef>
#include <cstring>
#include <string_view>

namespace quendal {

template <std::size_t Capacity>
class BoundedText {
 public:
  BoundedText() { data_[0] = '\0'; }
  BoundedText(std::string_view text) { Set(text); }  // NOLINT: converts like a string

  void Set(std::string_view text) {
    size_ = text.size() < Capacity ? text.size() : Capacity;
    if (size_ > 0) std::memcpy(data_, text.data(), size_);
    data_[size_] = '\0';
  }
  void Set(const char* text) { Set(text ? std::string_view(text) : std::string_view()); }

  // Appends what fits; returns false when something was cut.
  bool Append(std::string_view text) {
    std::size_t room = Capacity - size_;
    std::size_t n = text.size() < room ? text.size() : room;
    if (n > 0) std::memcpy(data_ + size_, text.data(), n);
    size_ += n;
    data_[size_] = '\0';
    return n == text.size();
  }

  void Clear() { Set(std::string_view()); }

  // For in-place edits of single characters; the length stays as it is.
  char& operator[](std::size_t i) { return data_[i]; }
  char operator[](std::size_t i) const { return data_[i]; }

  const char* c_str() const { return data_; }
  std::string_view view() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  static constexpr std::size_t capacity() { return Capacity; }

  friend bool operator==(const BoundedText& a, std::string_view b) { return a.view() == b; }

 private:
  char data_[Capacity + 1];
  std::size_t size_ = 0;
};

}  // namespace quendal
