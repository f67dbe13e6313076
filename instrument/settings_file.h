#pragma once
// The settings file: an instrument's settings between the capture before a firmware
// update and the restore after it, as key="value" lines (CR LF) after a header. One layout
// for data loggers, one for digital sensors, one for every other instrument.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/bounded_text.h"
#include "host/status.h"
#include "instrument/instrument_session.h"

namespace quendal {

// No settings file comes near this; a larger one, or no regular file, is not read.
inline constexpr std::uint64_t kMaxSettingsFileBytes = 1u << 20;

// Writes the held settings of the session's device type. The file is written beside
// `path` and renamed over it once complete, so a failed write leaves an earlier file as
// it was. 1, -10, -150 (a value the file cannot hold; nothing written), or a negated C
// library error number.
Status WriteInfoFile(InstrumentSession* session, const char* path);
// The key="value" lines the file holds for the session's held settings, without the header
// and the lines that name the unit: two captures of one device give the same text.
std::string SettingsLayoutText(const InstrumentSession* session);
// False, with the reason naming the value, when a held text could not stand on one line
// of the file exactly as the device gave it (a line break, a NUL, another control byte).
bool SettingsFileHolds(const InstrumentSession* session, std::string* problem);
// The file's text for the held settings, with control characters in values shown as
// escapes: a listing of the settings that nothing is written for.
std::string SettingsListing(const InstrumentSession* session);
// Reads a file into the session's LoggerInfo, InstrumentSettings or SdiSensorLink and sets
// the masks of what it found. 1; -10, -13, -30 (the file is for another type), -60,
// -102 (no such file), -105 (access denied), -106, or a negated error number.
Status ReadInfoFile(InstrumentSession* session, const char* path);

// Where the value of `key` is looked up: a line that starts with the key and "=", so that a
// value holding a key's text is never taken for that key; else, for hand-made and older
// files, the key's first occurrence anywhere. Points just past the key; null when the
// text does not hold it.
const char* FindSettingsKey(const char* fileText, const char* key);

// The quoted value after `key`, at most capacity - 1 characters; true when it is not empty.
bool ReadTextValue(const char* fileText, const char* key, char* destination, std::size_t capacity);
// A decimal number (white space and a sign skipped; no digits: 0), modulo 2^32; true when
// the key and its opening quote were found.
bool ReadNumberValue(const char* fileText, const char* key, std::uint32_t* value);
bool ReadFloatValue(const char* fileText, const char* key, double* value);

// Fills a text field; a value longer than the field is cut to the field's length.
template <std::size_t N>
bool ReadTextValue(const char* fileText, const char* key, BoundedText<N>* field) {
  char text[N + 1];
  bool found = ReadTextValue(fileText, key, text, sizeof text);
  field->Set(text);
  return found;
}

// The number at the start of `text` as ReadNumberValue converts it.
std::uint32_t ParseUnsigned(const char* text);

}  // namespace quendal
