// The "user" and "eqn" records: reading them from the instrument or the settings file,
// naming and sorting them, and writing them back.
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "host/timing.h"
#include "instrument/session_util.h"
#include "instrument/settings_capture.h"
#include "instrument/settings_file.h"

namespace quendal {

using namespace instrument_detail;

namespace {

constexpr std::int32_t kDefaultEqnCount = 100;
constexpr std::int32_t kDefaultUserCount = 25;
// Far above any instrument's record memory; a garbled count must not size the array.
constexpr std::int32_t kMostRecords = 1000;
constexpr int kMostFileRecords = 100;
constexpr std::size_t kEqnNameChars = 20;
constexpr std::size_t kUserNameChars = 9;
constexpr int kUserNameField = 3;
constexpr std::size_t kSortedNameChars = 32;
constexpr std::size_t kRecordCommandChars = 127;
// A record's text is at most 100 characters: 25 groups of four.
constexpr std::size_t kDecodedBytes = 75;

const char* TypeWord(int type) {
  if (type == kEqnRecordType) return "eqn";
  if (type == kUserRecordType) return "user";
  return nullptr;
}

std::unique_ptr<Record[]> Allocate(std::int32_t count) {
  return std::unique_ptr<Record[]>(new (std::nothrow) Record[static_cast<std::size_t>(count)]);
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

// Standard Base64, four characters to three bytes; a last short group is filled with zeros.
// Returns the number of bytes decoded into `bytes`.
std::size_t DecodeBase64(std::string_view text, char (&bytes)[kDecodedBytes]) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size() && n + 3 <= kDecodedBytes; i += 4) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      group <<= 6;
      if (i + k < text.size()) group |= static_cast<std::uint32_t>(Base64Value(text[i + k]));
    }
    bytes[n++] = static_cast<char>((group >> 16) & 0xFF);
    bytes[n++] = static_cast<char>((group >> 8) & 0xFF);
    bytes[n++] = static_cast<char>(group & 0xFF);
  }
  return n;
}

void NameEqn(Record* r) {
  char name[kEqnNameChars + 1];
  std::size_t n = 0;
  const char* text = r->text.c_str();
  for (; n < kEqnNameChars && text[n] != '\0' && text[n] != ' '; ++n) {
    char c = text[n];
    name[n] = c == '_' ? ' ' : c == '`' ? ',' : c;
  }
  name[n] = '\0';
  r->name.Set(name);
}

void NameUser(Record* r) {
  char bytes[kDecodedBytes];
  const std::string_view decoded(bytes, DecodeBase64(r->text.view(), bytes));
  std::size_t at = 0;
  for (int tabs = 0; tabs < kUserNameField; ++tabs) {
    at = decoded.find('\t', at);
    if (at == std::string_view::npos) {
      r->name.Clear();
      return;
    }
    ++at;
  }
  std::size_t n = 0;
  while (n < kUserNameChars && at + n < decoded.size() && decoded[at + n] != '\t' &&
         decoded[at + n] != '\0')
    ++n;
  r->name.Set(decoded.substr(at, n));
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Upper-cased order over the first 32 characters; a name that ends first, or an equal
// one, comes first.
bool SortsBefore(const Record& a, const Record& b) {
  for (std::size_t i = 0; i < kSortedNameChars; ++i) {
    const auto ca = static_cast<unsigned char>(Upper(a.name[i]));
    const auto cb = static_cast<unsigned char>(Upper(b.name[i]));
    if (ca == 0) return true;
    if (cb == 0) return false;
    if (ca != cb) return ca < cb;
  }
  return true;
}

}  // namespace

Status GetRecords_Serial(InstrumentSession* session, RecordSet* set, int type) {
  if (!session) return kMissingArgument;
  const char* word = TypeWord(type);
  if (!word) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_Serial found an unexpected record type \"%d\"", type);
    return kBadArgument;
  }
  if (!set) return kMissingArgument;
  if (set->records) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_Serial found a non-null \"%s\" set", word);
    set->Free();
  }

  char command[32];
  std::snprintf(command, sizeof command, "get -%s\r", word);
  char answer[kShortAnswer];
  std::int32_t count = 0;
  Status rc = Transact(session, command, kSettingTimeoutMs, answer);
  // Firmware without the count command refuses it and still answers for each record. Any
  // other answer that is not a count is a garbled one: guessing would read records that
  // are not there, or miss some that are.
  const bool hasCount = rc != kDeviceError && rc != kBarePrompt;
  if (!hasCount) {
    count = type == kEqnRecordType ? kDefaultEqnCount : kDefaultUserCount;
  } else if (rc < 0 || !ReadWholeNumber(answer, &count)) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_Serial could not read the \"%s\" count (%d)", word,
             static_cast<int>(rc < 0 ? rc : kNotRecognised));
    return rc < 0 ? rc : kNotRecognised;
  }
  if (count < 0) count = 0;
  if (count > kMostRecords) count = kMostRecords;
  if (count == 0) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_Serial found no \"%s\" records in instrument", word);
    return kNothingDone;
  }
  LogPrint(session->log, kLogStep, kProtocolSource,
           "GetRecords_Serial instrument reports %d \"%s\" records", static_cast<int>(count), word);
  set->records = Allocate(count);
  if (!set->records) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_Serial couldn't allocate memory for %d records", static_cast<int>(count));
    return kOutOfMemory;
  }
  std::int32_t read = 0;
  Status failed = kOk;
  for (; read < count; ++read) {
    std::snprintf(command, sizeof command, "get -%s %d", word, static_cast<int>(read));
    failed = GetValueString(session, command, kSettingTimeoutMs, &set->records[read].text);
    if (failed <= 0) break;
  }
  LogPrint(session->log, kLogStep, kProtocolSource,
           "GetRecords_Serial retrieved %d of %d \"%s\" records", static_cast<int>(read),
           static_cast<int>(count), word);
  set->count = read;
  // A device that gave its count has that many: one that could not be read is missing.
  if (hasCount && read < count) return failed < 0 ? failed : kNotRecognised;
  return kOk;
}

Status SetRecords_Serial(InstrumentSession* session, RecordSet* set, int type) {
  if (!session) return kMissingArgument;
  const char* word = TypeWord(type);
  if (!word) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "SetRecords_Serial found an unexpected record type \"%d\"", type);
    return kBadArgument;
  }
  if (!set) return kMissingArgument;
  if (set->count <= 0 || !set->records) {
    LogPrint(session->log, kLogStep, kProtocolSource, "SetRecords_Serial found an empty \"%s\" set",
             word);
    return kNothingDone;
  }
  AlphabetizeRecords(session, set, type);
  int written = 0;
  for (std::int32_t i = 0; i < set->count && !set->records[i].text.empty(); ++i) {
    const Record& r = set->records[i];
    char command[kRecordCommandChars + 1];
    std::snprintf(command, sizeof command, "set -%s %d %s\r", word, static_cast<int>(i),
                  r.text.c_str());
    const std::uint32_t start = DSTicks();
    char answer[kShortAnswer];
    Status rc = Transact(session, command, kSettingTimeoutMs, answer);
    if (rc > 0 && Contains(answer, "OK")) {
      ++written;
      LogPrint(session->log, kLogStep, kProtocolSource,
               "SetRecords_Serial set \"%s\" %d to \"%s\" (%d ms)", word, static_cast<int>(i),
               r.text.c_str(), Since(start));
    }
  }
  LogPrint(session->log, kLogStep, kProtocolSource,
           "GetRecords_Serial retrieved %d of %d \"%s\" records", written,
           static_cast<int>(set->count), word);
  return kOk;
}

Status GetRecords_File(InstrumentSession* session, RecordSet* set, int type, const char* fileText) {
  if (!session) return kMissingArgument;
  const char* word = TypeWord(type);
  if (!word) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_File found an unexpected record type \"%d\"", type);
    return kBadArgument;
  }
  if (!set || !fileText) return kMissingArgument;
  if (set->records) {
    LogPrint(session->log, kLogStep, kProtocolSource, "GetRecords_File found a non-null \"%s\" set",
             word);
    set->Free();
  }
  std::int32_t count = 0;
  char key[16];
  while (count < kMostFileRecords) {
    std::snprintf(key, sizeof key, "%s%02d", word, static_cast<int>(count));
    if (!FindSettingsKey(fileText, key)) break;
    ++count;
  }
  if (count == 0) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_File found no \"%s\" records in instrument", word);
    return kNothingDone;
  }
  set->records = Allocate(count);
  if (!set->records) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "GetRecords_File couldn't allocate memory for %d records", static_cast<int>(count));
    return kOutOfMemory;
  }
  std::int32_t read = 0;
  for (; read < count; ++read) {
    std::snprintf(key, sizeof key, "%s%02d", word, static_cast<int>(read));
    Record& r = set->records[read];
    if (!ReadTextValue(fileText, key, &r.text)) break;
    LogPrint(session->log, kLogStep, kProtocolSource, "GetRecords_File found \"%s\" %d as \"%s\"",
             word, static_cast<int>(read), r.text.c_str());
  }
  LogPrint(session->log, kLogStep, kProtocolSource,
           "GetRecords_File retrieved %d of %d \"%s\" records", static_cast<int>(read),
           static_cast<int>(count), word);
  set->count = read;
  return kOk;
}

Status ExtractNames(InstrumentSession* session, RecordSet* set, int type) {
  if (!session) return kMissingArgument;
  if (!set || !set->records) {
    LogPrint(session->log, kLogStep, kProtocolSource, "ExtractNames found an null record pointer");
    return kMissingArgument;
  }
  if (!TypeWord(type)) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "ExtractNames found an unexpected record type \"%d\"", type);
    return kBadArgument;
  }
  for (std::int32_t i = 0; i < set->count; ++i) {
    if (type == kEqnRecordType)
      NameEqn(&set->records[i]);
    else
      NameUser(&set->records[i]);
  }
  return kOk;
}

Status AlphabetizeRecords(InstrumentSession* session, RecordSet* set, int type) {
  if (!session) return kMissingArgument;
  if (!TypeWord(type)) {
    LogPrint(session->log, kLogStep, kProtocolSource,
             "AlphabetizeRecords found an unexpected record type \"%d\"", type);
    return kBadArgument;
  }
  Status rc = ExtractNames(session, set, type);
  if (rc < 0) return rc;
  Record* r = set->records.get();
  for (std::int32_t i = 1; i < set->count; ++i) {
    Record moving = r[i];
    std::int32_t j = i - 1;
    for (; j >= 0 && SortsBefore(moving, r[j]); --j) r[j + 1] = r[j];
    r[j + 1] = moving;
  }
  return kOk;
}

}  // namespace quendal
