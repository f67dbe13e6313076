// quendal-mkimage: writes a synthetic firmware image in TI-Text form for a memory layout.
//
// The words are made by a small PRNG: nothing here is code for any device. The image carries
// the check block of loader/image_check.h so that a simulated device can tell a complete image
// from a partial one. With --length and --sum the image text (the form the updater keeps in
// memory) is made to have exactly that length and character sum; the same options and seed
// always give the same file, on every compiler and library.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loader/image_check.h"

namespace {

using quendal::ImageCheckCrc;
using quendal::kImageCheckBlockSize;
using quendal::kImageCheckMagic;
using quendal::kProtectedAreaEnd;
using quendal::kProtectedAreaStart;

constexpr std::uint32_t kMaxAddress = 0xFFFFF;  // five hex digits in the image text
constexpr std::uint32_t kMemorySize = kMaxAddress + 1;
constexpr std::uint32_t kVectorBase = 0xFFE0;
constexpr int kVectorCount = 16;
constexpr int kMaxTuneRounds = 100000;

constexpr const char* kUsage =
    "usage: quendal-mkimage [options] OUTPUT\n"
    "  --flash FIRST-LAST  program flash, both addresses included (default 0x8000-0xF9FF)\n"
    "  --info START:BYTES  information memory filled from START (default: none)\n"
    "  --segments N        number of program-flash segments (default: one per ~100 bytes)\n"
    "  --fill PERCENT      share of the flash that holds program without --length (default "
    "90)\n"
    "  --length N          image-text length to reach exactly\n"
    "  --sum N             image-text character sum to reach exactly\n"
    "  --seed N            PRNG seed (default 1)\n";

// SplitMix64: tiny, and the same sequence everywhere (std:: distributions are not).
class Prng {
 public:
  explicit Prng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) {
    return n == 0 ? 0 : static_cast<std::uint32_t>((Next() >> 32) % n);
  }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Next() >> 48); }

 private:
  std::uint64_t state_;
};

struct Options {
  std::uint32_t flashFirst = 0x8000;
  std::uint32_t flashLast = 0xF9FF;
  std::uint32_t infoStart = 0;
  std::uint32_t infoBytes = 0;
  std::uint32_t segments = 0;
  std::uint32_t fillPercent = 90;
  std::optional<std::uint64_t> length;
  std::optional<std::int64_t> sum;
  std::uint64_t seed = 1;
  std::string output;
};

struct Segment {
  std::uint32_t address = 0;
  std::vector<std::uint16_t> words;
  bool table = false;  // free filler words that the sum tuning may change
  bool info = false;   // information memory: outside the check block's CRC
};

struct Range {
  std::uint32_t start;
  std::uint32_t end;  // exclusive
};

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  std::fprintf(stderr, "quendal-mkimage: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::exit(1);
}

bool ParseNumber(std::string_view text, std::uint64_t* value) {
  std::string s(text);
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

std::uint32_t ParseAddress(std::string_view text, const char* what) {
  std::uint64_t v = 0;
  if (!ParseNumber(text, &v) || v > kMaxAddress) Fail("bad %s", what);
  return static_cast<std::uint32_t>(v);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg.size() < 2 || arg.substr(0, 2) != "--") {
      if (!o.output.empty()) Fail("more than one output file: %s", argv[i]);
      o.output = std::string(arg);
      continue;
    }
    if (i + 1 >= argc) Fail("option %s needs a value", argv[i]);
    std::string_view value = argv[++i];
    std::uint64_t n = 0;
    if (arg == "--flash") {
      std::size_t dash = value.find('-');
      if (dash == std::string_view::npos) Fail("--flash wants FIRST-LAST, not %s", argv[i]);
      o.flashFirst = ParseAddress(value.substr(0, dash), "flash start");
      o.flashLast = ParseAddress(value.substr(dash + 1), "flash end");
    } else if (arg == "--info") {
      std::size_t colon = value.find(':');
      if (colon == std::string_view::npos) Fail("--info wants START:BYTES, not %s", argv[i]);
      o.infoStart = ParseAddress(value.substr(0, colon), "information memory start");
      o.infoBytes = ParseAddress(value.substr(colon + 1), "information memory size");
    } else if (arg == "--segments" && ParseNumber(value, &n) && n > 0 && n < 100000) {
      o.segments = static_cast<std::uint32_t>(n);
    } else if (arg == "--fill" && ParseNumber(value, &n) && n > 0 && n <= 100) {
      o.fillPercent = static_cast<std::uint32_t>(n);
    } else if (arg == "--length" && ParseNumber(value, &n)) {
      o.length = n;
    } else if (arg == "--sum" && ParseNumber(value, &n) && n <= 0x7FFFFFFF) {
      o.sum = static_cast<std::int64_t>(n);
    } else if (arg == "--seed" && ParseNumber(value, &n)) {
      o.seed = n;
    } else {
      Fail("bad option or value: %s", std::string(arg).append(" ").append(value).c_str());
    }
  }
  if (o.output.empty()) Fail("no output file given (see --help)");
  return o;
}

// The program flash without the loader's area, as ranges of whole words.
std::vector<Range> FlashRanges(const Options& o) {
  std::uint32_t first = (o.flashFirst + 1) & ~1u;
  std::uint32_t end = (o.flashLast + 1) & ~1u;
  std::vector<Range> ranges;
  if (first < kProtectedAreaStart && first < end)
    ranges.push_back({first, std::min(end, kProtectedAreaStart)});
  std::uint32_t upper = std::max(first, kProtectedAreaEnd);
  if (upper < end) ranges.push_back({upper, end});
  return ranges;
}

// Splits `total` into `count` parts of at least `minimum`, in proportion to random weights.
std::vector<std::uint32_t> RandomParts(Prng& prng, std::uint32_t total, std::uint32_t count,
                                       std::uint32_t minimum,
                                       const std::vector<std::uint32_t>& weights) {
  std::vector<std::uint32_t> parts(count, minimum);
  std::uint64_t spare = total - static_cast<std::uint64_t>(count) * minimum;
  std::uint64_t weightSum = 0;
  for (std::uint32_t w : weights) weightSum += w;
  std::uint64_t given = 0;
  for (std::uint32_t i = 0; i < count && weightSum > 0; ++i) {
    std::uint64_t share = spare * weights[i] / weightSum;
    parts[i] += static_cast<std::uint32_t>(share);
    given += share;
  }
  for (; given < spare; ++given) ++parts[prng.Below(count)];
  return parts;
}

// Where the image text's figures come from: "@%05X" per segment, "%04X" per word.
std::uint64_t TextLength(const std::vector<Segment>& segments) {
  std::uint64_t n = 0;
  for (const Segment& s : segments) n += 6 + 4 * s.words.size();
  return n;
}

int DigitChar(unsigned nibble) {
  return "0123456789ABCDEF"[nibble & 0xF];
}

std::int64_t HexSum(std::uint32_t value, int digits) {
  std::int64_t sum = 0;
  for (int i = 0; i < digits; ++i) sum += DigitChar(value >> (4 * i));
  return sum;
}

std::int64_t TextSum(const std::vector<Segment>& segments) {
  std::int64_t sum = 0;
  for (const Segment& s : segments) {
    sum += '@' + HexSum(s.address, 5);
    for (std::uint16_t w : s.words) sum += HexSum(w, 4);
  }
  return sum;
}

class Image {
 public:
  explicit Image(const Options& options) : o_(options), prng_(options.seed) {}

  void Build() {
    std::vector<Range> ranges = FlashRanges(o_);
    std::uint64_t capacity = 0;
    for (const Range& r : ranges) capacity += (r.end - r.start) / 2;
    if (ranges.empty() || capacity < 8) Fail("the program flash is too small");
    flashStart_ = ranges[0].start;
    if (flashStart_ + kImageCheckBlockSize + 2 > 0xFFFF)
      Fail("the reset vector cannot reach a program above 0xFFFF");
    std::uint32_t infoWords = o_.infoBytes / 2;
    if (o_.infoBytes % 2 != 0 || o_.infoStart % 2 != 0)
      Fail("the information memory must start at an even address and hold whole words");
    std::uint32_t infoEnd = o_.infoStart + o_.infoBytes;
    if (infoWords > 0 &&
        (infoEnd > kMemorySize || (infoEnd > o_.flashFirst && o_.infoStart <= o_.flashLast) ||
         (infoEnd > kProtectedAreaStart && o_.infoStart < kProtectedAreaEnd)))
      Fail("the information memory overlaps the program flash or the loader's area");

    std::uint32_t count = o_.segments ? o_.segments : std::max<std::uint32_t>(1, capacity / 50);
    std::uint64_t flashWords = capacity * o_.fillPercent / 100;
    if (o_.length) {
      // 6 characters per segment and 4 per word: find a segment count that allows it.
      std::uint32_t infoSegments = infoWords > 0 ? 1 : 0;
      bool found = false;
      for (std::uint32_t k = count; k < count + 4 && !found; ++k) {
        std::uint64_t fixed = 6ull * (k + infoSegments);
        if (*o_.length < fixed || (*o_.length - fixed) % 4 != 0) continue;
        std::uint64_t words = (*o_.length - fixed) / 4;
        if (words < infoWords) continue;
        std::uint64_t flash = words - infoWords;
        if (flash < 6ull + 2ull * (k - 1) || flash > capacity) continue;
        count = k;
        flashWords = flash;
        found = true;
      }
      if (!found) Fail("no segment count near --segments gives that length in this flash");
    }
    if (flashWords < 6ull + 2ull * (count - 1)) Fail("too many segments for the flash");

    // Segment sizes: mostly code-sized pieces, a quarter of them filler tables.
    std::vector<std::uint32_t> weights(count);
    std::vector<bool> tables(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      tables[i] = i > 0 && prng_.Below(4) == 0;
      weights[i] = tables[i] ? 4 + prng_.Below(60) : 8 + prng_.Below(120);
    }
    std::vector<std::uint32_t> sizes =
        RandomParts(prng_, static_cast<std::uint32_t>(flashWords), count, 2, weights);
    if (sizes[0] < 6) {  // the check block and the entry point share the first segment
      std::uint32_t need = 6 - sizes[0];
      for (std::uint32_t i = 1; i < count && need > 0; ++i) {
        while (sizes[i] > 2 && need > 0) --sizes[i], ++sizes[0], --need;
      }
    }

    // Gaps between segments: at least a word where the flash allows it.
    std::uint64_t gapWords = capacity - flashWords;
    std::vector<std::uint32_t> gaps(count, 0);  // gap after segment i; the last is the tail
    std::uint64_t inner = count - 1;
    if (gapWords >= inner) {
      for (std::uint32_t i = 0; i + 1 < count; ++i) gaps[i] = 1;
      for (std::uint64_t left = gapWords - inner; left > 0; --left) {
        // Most of the free space stays at the end, as in a linked image.
        std::uint32_t slot = prng_.Below(3) == 0 ? prng_.Below(count) : count - 1;
        ++gaps[slot];
      }
    } else {
      for (std::uint64_t left = gapWords; left > 0;) {
        std::uint32_t slot = prng_.Below(count - 1);
        if (gaps[slot] == 0) gaps[slot] = 1, --left;
      }
    }

    if (infoWords > 0) {
      Segment info;
      info.address = o_.infoStart;
      info.info = true;
      info.table = true;
      for (std::uint32_t i = 0; i < infoWords; ++i) info.words.push_back(prng_.Word());
      segments_.push_back(std::move(info));
    }
    std::size_t range = 0;
    std::uint32_t at = ranges[0].start;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t bytes = 2 * sizes[i];
      while (range < ranges.size() && at + bytes > ranges[range].end) {
        if (++range < ranges.size()) at = std::max(at, ranges[range].start);
      }
      if (range >= ranges.size()) Fail("the segments do not fit in the program flash");
      Segment s;
      s.address = at;
      s.table = tables[i];
      for (std::uint32_t w = 0; w < sizes[i]; ++w) s.words.push_back(prng_.Word());
      segments_.push_back(std::move(s));
      at += bytes + 2 * gaps[i];
    }
    first_ = infoWords > 0 ? 1 : 0;
    const Segment& last = segments_.back();
    end_ = last.address + 2 * static_cast<std::uint32_t>(last.words.size());

    // Reset vector at the first word after the check block; some others at segment starts.
    vectors_.fill(0xFFFF);
    vectors_[kVectorCount - 1] = flashStart_ + kImageCheckBlockSize;
    for (int i = 0; i < kVectorCount - 1; ++i) {
      if (prng_.Below(2) != 0) continue;
      const Segment& target = segments_[first_ + prng_.Below(count)];
      if (target.address <= 0xFFFF) vectors_[i] = target.address;
    }
  }

  // Writes the check block; returns the image text's sum with it.
  std::int64_t Seal() {
    std::vector<std::uint8_t> memory(kMemorySize, 0xFF);
    for (std::size_t i = first_; i < segments_.size(); ++i) {
      const Segment& s = segments_[i];
      for (std::size_t w = 0; w < s.words.size(); ++w) {
        memory[s.address + 2 * w] = static_cast<std::uint8_t>(s.words[w]);
        memory[s.address + 2 * w + 1] = static_cast<std::uint8_t>(s.words[w] >> 8);
      }
    }
    std::vector<std::uint16_t>& block = segments_[first_].words;
    block[0] = kImageCheckMagic;
    block[1] = static_cast<std::uint16_t>(end_);
    block[2] = static_cast<std::uint16_t>(end_ >> 16);
    block[3] = ImageCheckCrc(memory.data(), flashStart_ + kImageCheckBlockSize, end_);
    return TextSum(segments_);
  }

  // Moves the sum by `delta` through filler digits; info words first when they can take it
  // all, since they leave the CRC as it is. Returns what could not be placed.
  std::int64_t Tune(std::int64_t delta) {
    std::vector<Digit> outside;
    std::vector<Digit> inside;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
      const Segment& s = segments_[i];
      if (!s.table) continue;
      for (std::size_t w = 0; w < s.words.size(); ++w) {
        for (int nibble = 0; nibble < 4; ++nibble) {
          (s.info ? outside : inside).push_back({i, w, nibble});
        }
      }
    }
    if (Reach(outside, delta) >= (delta < 0 ? -delta : delta)) return Spread(outside, delta);
    return Spread(outside, Spread(inside, delta));
  }

  void Write() const {
    std::FILE* f = std::fopen(o_.output.c_str(), "wb");
    if (!f) Fail("cannot create %s", o_.output.c_str());
    std::vector<const Segment*> order;
    for (const Segment& s : segments_) order.push_back(&s);
    std::sort(order.begin(), order.end(),
              [](const Segment* a, const Segment* b) { return a->address < b->address; });
    for (const Segment* s : order) {
      std::fprintf(f, "@%04" PRIX32 "\n", s->address);
      WriteBytes(f, s->words);
    }
    std::fprintf(f, "@%04" PRIX32 "\n", kVectorBase);
    WriteBytes(f, std::vector<std::uint16_t>(vectors_.begin(), vectors_.end()));
    std::fprintf(f, "q\n");
    if (std::fclose(f) != 0) Fail("cannot write %s", o_.output.c_str());
  }

  const std::vector<Segment>& Segments() const { return segments_; }
  std::uint32_t End() const { return end_; }
  std::uint16_t Check() const { return segments_[first_].words[3]; }

 private:
  struct Digit {
    std::size_t segment;
    std::size_t word;
    int nibble;
  };

  int CharAt(const Digit& d) const {
    return DigitChar(segments_[d.segment].words[d.word] >> (4 * d.nibble));
  }

  std::int64_t Reach(const std::vector<Digit>& digits, std::int64_t delta) const {
    std::int64_t reach = 0;
    for (const Digit& d : digits) reach += delta > 0 ? 'F' - CharAt(d) : CharAt(d) - '0';
    return reach;
  }

  // Visits the digits in a fresh random order, moving each by at most a step that grows
  // until the delta is placed, so that the change is spread rather than piled up.
  std::int64_t Spread(const std::vector<Digit>& digits, std::int64_t delta) {
    if (digits.empty() || delta == 0) return delta;
    std::vector<std::size_t> order(digits.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (std::size_t i = order.size() - 1; i > 0; --i)
      std::swap(order[i], order[prng_.Below(static_cast<std::uint32_t>(i + 1))]);
    std::int64_t magnitude = delta < 0 ? -delta : delta;
    std::int64_t step = magnitude / static_cast<std::int64_t>(digits.size()) + 1;
    for (; delta != 0 && step <= 64; step *= 2) {
      for (std::size_t k : order) {
        if (delta == 0) break;
        const Digit& d = digits[k];
        int current = CharAt(d);
        int best = -1;
        std::int64_t bestLeft = delta;
        for (unsigned nibble = 0; nibble < 16; ++nibble) {
          int change = DigitChar(nibble) - current;
          if ((change < 0 ? -change : change) > step) continue;
          std::int64_t left = delta - change;
          if ((left < 0 ? -left : left) < (bestLeft < 0 ? -bestLeft : bestLeft)) {
            bestLeft = left;
            best = static_cast<int>(nibble);
          }
        }
        if (best < 0) continue;
        std::uint16_t& word = segments_[d.segment].words[d.word];
        word = static_cast<std::uint16_t>((word & ~(0xFu << (4 * d.nibble))) |
                                          (static_cast<unsigned>(best) << (4 * d.nibble)));
        delta = bestLeft;
      }
    }
    return delta;
  }

  static void WriteBytes(std::FILE* f, const std::vector<std::uint16_t>& words) {
    std::size_t bytes = 2 * words.size();
    for (std::size_t i = 0; i < bytes; ++i) {
      unsigned byte = (words[i / 2] >> (8 * (i % 2))) & 0xFF;
      std::fprintf(f, "%02X%s", byte, (i % 16 == 15 || i + 1 == bytes) ? "\n" : " ");
    }
  }

  const Options& o_;
  Prng prng_;
  std::vector<Segment> segments_;
  std::size_t first_ = 0;  // index of the segment that holds the check block
  std::uint32_t flashStart_ = 0;
  std::uint32_t end_ = 0;
  std::array<std::uint32_t, kVectorCount> vectors_{};
};

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  Image image(options);
  image.Build();
  std::int64_t sum = image.Seal();
  if (options.sum) {
    // Filler digits move the sum; when they sit under the CRC the check word moves it again,
    // so repeat until both agree.
    int round = 0;
    for (; sum != *options.sum && round < kMaxTuneRounds; ++round) {
      std::int64_t delta = *options.sum - sum;
      if (image.Tune(delta) == delta) break;  // no filler digit can move any more
      sum = image.Seal();
    }
    if (sum != *options.sum) Fail("cannot reach the requested sum with these fillers");
  }
  image.Write();
  std::printf("%s: %zu segments, image text %" PRIu64 " characters, sum %" PRId64 ", end %05" PRIX32
              ", check %04X\n",
              options.output.c_str(), image.Segments().size(), TextLength(image.Segments()), sum,
              image.End(), image.Check());
  return 0;
}
