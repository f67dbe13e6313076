#pragma once
// File operations whose guarantees differ between the systems: the log needs whole lines
// when two copies of the program write to one file, and a replace that never leaves the
// file missing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/status.h"

namespace quendal {

// Appends the bytes to the file (created if missing, this user's only) with one write in
// append mode, so a line written by another process never lands inside them. A symbolic
// link in the file's place is replaced by a file, never written through. kOk, or the negated system
// error number (a short write counts as a full disk).
Status AppendWhole(const std::string& path, const char* data, std::size_t size);

// Puts `from` in place of `to` in one step; on failure `to` is left as it was.
bool ReplaceWholeFile(const std::string& from, const std::string& to);

// A name beside `path` for its next version, unique to this process, so that two running
// copies never write one temporary file.
std::string TemporaryNameFor(const std::string& path);

// Creates `path` for writing, readable by this user only, never through a symbolic link: a
// link or a stale file in its place is removed first. Null with errno set on failure.
std::FILE* CreatePrivateFile(const std::string& path);

// Opens a file of the data folder for reading, never through a symbolic link in its place
// (the open then fails with kSymbolicLink in *error) and never blocking on what is no
// regular file. Null on failure, with the negated system error number or kSymbolicLink.
std::FILE* OpenDataFile(const std::string& path, Status* error);

// Why a path the user named may not be read through the symbolic link it is: a link that
// another user made. Empty for no link, or one of this user's own (the user's choice).
std::string NamedLinkProblem(const std::string& path);

// Creates the folder and each missing parent, each new one this user's only. kOk, or the
// negated system error number.
Status MakePrivateFolders(const std::string& path);

// Why `folder` is no safe place for this user's files (it belongs to another user, or
// other users may write in it and it lacks the sticky bit); empty when it is one.
std::string FolderTrustProblem(const std::string& folder);

// Why `path` may not be read as an input of at most `maxBytes`: no regular file (a FIFO,
// a device, a folder) or larger than that. Empty when it may, or when it cannot be looked
// at (the open then tells why). Checked before the open, which a FIFO would block.
std::string InputFileProblem(const std::string& path, std::uint64_t maxBytes);

// "16 MB", "64 KiB" or "100 bytes".
std::string SizeText(std::uint64_t bytes);

// A stand-in for a full or read-only disk in tests: while set, a write to a path for which
// it returns a system error number fails with that number. Null: none.
using FileFault = int (*)(const std::string& path);
void SetFileFault(FileFault fault);
// The error the fault gives `path`; 0: none.
int FileFaultFor(const std::string& path);

}  // namespace quendal
