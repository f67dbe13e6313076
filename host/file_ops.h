#pragma once
// File operations whose guarantees differ between the systems: the log needs whole lines
// when two copies of the program write to one file, and a replace that never leaves the
// file missing.
#include <cstddef>
#include <string>

#include "host/status.h"

namespace quendal {

// Appends the bytes to the file (created if missing) with one write in append mode, so a
// line written by another process never lands inside them. kOk, or the negated system
// error number (a short write counts as a full disk).
Status AppendWhole(const std::string& path, const char* data, std::size_t size);

// Puts `from` in place of `to` in one step; on failure `to` is left as it was.
bool ReplaceWholeFile(const std::string& from, const std::string& to);

// A name beside `path` for its next version, unique to this process, so that two running
// copies never write one temporary file.
std::string TemporaryNameFor(const std::string& path);

// A stand-in for a full or read-only disk in tests: while set, a write to a path for which
// it returns a system error number fails with that number. Null: none.
using FileFault = int (*)(const std::string& path);
void SetFileFault(FileFault fault);
// The error the fault gives `path`; 0: none.
int FileFaultFor(const std::string& path);

}  // namespace quendal
