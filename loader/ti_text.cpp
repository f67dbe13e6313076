#include "loader/ti_text.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <vector>

namespace quendal {
namespace {

constexpr std::uint32_t kAddressLimit = 0x100000;  // five hex digits in the image text
constexpr std::uint32_t kVectorFirst = 0xFFE0;
constexpr std::uint32_t kVectorLast = 0xFFFE;
constexpr std::uint32_t kLoaderFirst = 0xFA00;
constexpr std::uint32_t kLoaderEnd = 0x10000;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

struct Segment {
  std::uint32_t address = 0;
  int line = 0;
  std::string bytes;  // one char per byte
};

std::string CharName(char c) {
  char text[32];
  auto u = static_cast<unsigned char>(c);
  if (u >= 0x21 && u < 0x7F) {
    std::snprintf(text, sizeof text, "\"%c\"", c);
  } else {
    std::snprintf(text, sizeof text, "byte 0x%02X", u);
  }
  return text;
}

struct Reader {
  std::string_view content;
  TITextProblem* problem;
  std::vector<Segment> segments;

  Status Fail(int line, std::size_t column, std::string why) {
    problem->line = line;
    problem->column = static_cast<int>(column + 1);
    problem->why = std::move(why);
    return kNotTIText;
  }
  // A fault of a whole segment: its address line, no column.
  Status FailSegment(int line, std::string why) {
    Fail(line, 0, std::move(why));
    problem->column = 0;
    return kNotTIText;
  }

  // An "@" line: blanks allowed around the address, nothing else.
  Status AddressLine(std::string_view text, std::size_t at, int line) {
    std::size_t i = at + 1;
    while (i < text.size() && IsBlank(text[i])) ++i;
    const std::size_t first = i;
    std::uint32_t address = 0;
    for (; i < text.size() && HexValue(text[i]) >= 0; ++i) {
      address = (address << 4) | static_cast<std::uint32_t>(HexValue(text[i]));
      if (address >= kAddressLimit) return Fail(line, first, "address above 0xFFFFF");
    }
    if (i == first) {
      return Fail(line, i,
                  i < text.size() ? CharName(text[i]) + " where an address belongs"
                                  : "\"@\" without an address");
    }
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i < text.size()) return Fail(line, i, CharName(text[i]) + " after the address");
    if (address % 2 != 0) return Fail(line, first, "odd start address");
    segments.push_back(Segment{address, line, {}});
    return kOk;
  }

  // A data line: hex pairs separated by blanks.
  Status DataLine(std::string_view text, std::size_t at, int line) {
    Segment& segment = segments.back();
    std::size_t i = at;
    while (i < text.size()) {
      if (IsBlank(text[i])) {
        ++i;
        continue;
      }
      const std::size_t start = i;
      for (; i < text.size() && !IsBlank(text[i]); ++i) {
        if (HexValue(text[i]) < 0) return Fail(line, i, CharName(text[i]) + " is no hex digit");
      }
      if (i - start != 2) return Fail(line, start, "a byte is two hex digits");
      const int value = HexValue(text[start]) * 16 + HexValue(text[start + 1]);
      segment.bytes.push_back(static_cast<char>(value));
    }
    return kOk;
  }

  Status ReadLines() {
    std::size_t pos = 0;
    int line = 0;
    while (pos < content.size()) {
      ++line;
      std::size_t lf = content.find('\n', pos);
      const bool ended = lf != std::string_view::npos;
      std::string_view text = content.substr(pos, ended ? lf - pos : std::string_view::npos);
      pos = ended ? lf + 1 : content.size();
      if (!text.empty() && text.back() == '\r' && ended) text.remove_suffix(1);
      std::size_t at = 0;
      while (at < text.size() && IsBlank(text[at])) ++at;
      if (line == 1 && (text.empty() || text[0] != '@'))
        return Fail(line, 0, "the file does not begin with \"@\"");
      if (at == text.size()) continue;
      if (text[at] == 'q') return kOk;  // what follows is not read
      if (!ended) return Fail(line, text.size(), "no line end");
      Status rc = text[at] == '@' ? AddressLine(text, at, line) : DataLine(text, at, line);
      if (rc < 0) return rc;
    }
    return Fail(line + 1, 0, "no \"q\" at the end");
  }

  // No byte may be given twice, and every segment must stay where it can be stored.
  Status CheckSegments() {
    std::vector<const Segment*> order;
    order.reserve(segments.size());
    for (const Segment& s : segments) {
      if (s.address + s.bytes.size() > kAddressLimit)
        return FailSegment(s.line, "segment runs past 0xFFFFF");
      if (!s.bytes.empty()) order.push_back(&s);
    }
    std::sort(order.begin(), order.end(),
              [](const Segment* a, const Segment* b) { return a->address < b->address; });
    for (std::size_t i = 1; i < order.size(); ++i) {
      const Segment* before = order[i - 1];
      const Segment* after = order[i];
      if (before->address + before->bytes.size() > after->address) {
        const Segment* later = before->line > after->line ? before : after;
        const Segment* earlier = later == before ? after : before;
        char why[96];
        std::snprintf(why, sizeof why, "segment @%X overlaps the segment of line %d",
                      static_cast<unsigned>(later->address), earlier->line);
        return FailSegment(later->line, why);
      }
    }
    return kOk;
  }
};

void AppendWords(const Segment& s, std::string* text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char head[16];
  std::snprintf(head, sizeof head, "@%05X", static_cast<unsigned>(s.address));
  text->append(head);
  for (std::size_t i = 0; i < s.bytes.size(); i += 2) {
    // Words high byte first; an odd last byte gets an erased high byte.
    const auto low = static_cast<unsigned char>(s.bytes[i]);
    const auto high = i + 1 < s.bytes.size() ? static_cast<unsigned char>(s.bytes[i + 1]) : 0xFF;
    const char word[4] = {kDigits[high >> 4], kDigits[high & 15], kDigits[low >> 4],
                          kDigits[low & 15]};
    text->append(word, 4);
  }
}

}  // namespace

std::string TITextProblem::Describe() const {
  if (line <= 0) return why;
  std::string where = "line " + std::to_string(line);
  if (column > 0) where += ", column " + std::to_string(column);
  return where + ": " + why;
}

Status ParseTIText(std::string_view content, std::string* imageText,
                   std::array<std::uint32_t, kTITextVectorCount>* vectors, TITextProblem* problem) {
  TITextProblem unused;
  if (!problem) problem = &unused;
  *problem = TITextProblem{};
  try {
    Reader reader{content, problem, {}};
    if (content.empty()) return reader.Fail(1, 0, "the file is empty");
    Status rc = reader.ReadLines();
    if (rc < 0) return rc;
    rc = reader.CheckSegments();
    if (rc < 0) return rc;

    std::string text;
    std::array<std::uint32_t, kTITextVectorCount> table;
    table.fill(0xFFFF);
    bool sawVectors = false;
    for (const Segment& s : reader.segments) {
      if (s.address >= kVectorFirst && s.address <= kVectorLast) {
        sawVectors = true;
        if (s.bytes.size() % 2 != 0) return reader.FailSegment(s.line, "incomplete vector word");
        std::uint32_t entry = (s.address - kVectorFirst) / 2;
        if (entry + s.bytes.size() / 2 > kTITextVectorCount)
          return reader.FailSegment(s.line, "vector words past the reset vector");
        for (std::size_t i = 0; i < s.bytes.size(); i += 2) {
          table[entry++] = static_cast<unsigned char>(s.bytes[i]) |
                           static_cast<std::uint32_t>(static_cast<unsigned char>(s.bytes[i + 1]))
                               << 8;
        }
      } else if (s.address >= kLoaderFirst && s.address < kLoaderEnd) {
        // The loader's own area: never written with image data.
      } else {
        AppendWords(s, &text);
      }
    }
    if (!sawVectors) return reader.FailSegment(0, "no vector segment (@FFE0 to @FFFE)");
    imageText->swap(text);
    *vectors = table;
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

std::string ImageToTIText(std::string_view imageText,
                          const std::array<std::uint32_t, kTITextVectorCount>& vectors) {
  constexpr int kBytesPerLine = 16;
  std::string out;
  char text[16];
  auto address = [&](std::uint32_t at) {
    std::snprintf(text, sizeof text, at < kLoaderEnd ? "@%04X\n" : "@%05X\n",
                  static_cast<unsigned>(at));
    out += text;
  };
  auto byte = [&](unsigned value, int* column) {
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    if (*column > 0) out.push_back(' ');
    out += text;
    if (++*column == kBytesPerLine) {
      out.push_back('\n');
      *column = 0;
    }
  };
  std::size_t i = 0;
  while (i < imageText.size()) {
    if (imageText[i] != '@' || i + 6 > imageText.size()) return {};
    std::uint32_t at = 0;
    for (std::size_t d = i + 1; d < i + 6; ++d) {
      const int v = HexValue(imageText[d]);
      if (v < 0) return {};
      at = at << 4 | static_cast<std::uint32_t>(v);
    }
    std::size_t end = imageText.find('@', i + 6);
    if (end == std::string_view::npos) end = imageText.size();
    if ((end - i - 6) % 4 != 0) return {};
    address(at);
    int column = 0;
    for (std::size_t w = i + 6; w < end; w += 4) {
      int digits[4];
      for (int k = 0; k < 4; ++k) {
        digits[k] = HexValue(imageText[w + static_cast<std::size_t>(k)]);
        if (digits[k] < 0) return {};
      }
      // The image text holds each word high byte first; the file lists bytes in address order.
      byte(static_cast<unsigned>(digits[2] << 4 | digits[3]), &column);
      byte(static_cast<unsigned>(digits[0] << 4 | digits[1]), &column);
    }
    if (column > 0) out.push_back('\n');
    i = end;
  }
  address(kVectorFirst);
  int column = 0;
  for (std::uint32_t word : vectors) {
    byte(word & 0xFF, &column);
    byte(word >> 8, &column);
  }
  out += "q\n";
  return out;
}

}  // namespace quendal
