#pragma once
// What the program does with text it did not write itself (a device's answers, a path):
// one way to make it valid UTF-8, one way to show its control characters, one test of
// whether a line-based file can hold it.
#include <cstddef>
#include <string>
#include <string_view>

namespace quendal {

// Valid UTF-8 stays as it is; every byte that is not part of a valid sequence becomes the
// character of the same number (0xFF becomes U+00FF, written \u00ff in JSON). Applied the
// same way everywhere, so a text read back from a record compares equal to the device's.
std::string ValidUtf8(std::string_view text);
// The length of the valid UTF-8 sequence at `i` (1 for ASCII), or 0 when none starts there.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

// The text with every control character (and DEL) shown as an escape: \r, \n, \t, \0,
// or \xHH, and a backslash as \\, so that what is shown tells the bytes apart.
std::string VisibleText(std::string_view text);

// As VisibleText, but a backslash stays as it is: for the log, where paths of Windows
// are common and a reader tells an escape from its context.
std::string ControlsVisible(std::string_view text);

// True when no byte of `text` could end, split or hide a line of a line-based file:
// no control character except the tab.
bool FitsOnOneLine(std::string_view text);

}  // namespace quendal
