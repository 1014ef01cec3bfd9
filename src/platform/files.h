// Whole-file reads and writes. Failures throw Error values in NSCocoaErrorDomain:
//   read:  ENOENT/ENOTDIR 260, EACCES/EPERM 257, EFBIG/ENOMEM or no memory 263, other 256;
//   write: ENOENT/ENOTDIR 4, EACCES/EPERM 513, ENOSPC/EDQUOT 640, EROFS 642, ENAMETOOLONG 514,
//          other 512.
// Safe from several threads at once.
#pragma once

#include <filesystem>
#include <span>

#include "platform/buffer.h"
#include "platform/error.h"

namespace QuorvelleDrive {

// From this size on a regular file's contents stay in the file (see readFile); below it a copy
// in memory costs no more than holding the file open.
inline constexpr std::size_t kFileBackedFrom = 64 * 1024;

// The errors of the table above for a failed read or write with `err` as errno.
Error fileReadError(int err);
Error fileWriteError(int err);

// The whole file at `path`. A regular file of kFileBackedFrom bytes or more is not read: the
// buffer holds it open, backed by it at the size it had when opened. Anything else is read into
// memory to its end, as it ends up if it grows or shrinks meanwhile.
Buffer readFile(const std::filesystem::path& path);
// Creates or truncates `path` (owner-only) and writes every byte (short writes are resumed).
// Not atomic.
void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes);
// Puts `buffer`'s bytes at `path`: a buffer backed by an unnamed file (see createUnnamedFile) on
// the same file system is linked there when `path` is free, so its bytes are not copied; any
// other is written as above (a file-backed one copied inside the kernel).
void placeContents(const std::filesystem::path& path, Buffer buffer);
// A fresh owner-only file in `folder` that has no name (it vanishes when closed) until
// placeContents links it into place; where the file system cannot make one (no O_TMPFILE), a named
// file removed at once, which placeContents then copies. Throws the write errors.
FileDescriptor createUnnamedFile(const std::filesystem::path& folder);

}  // namespace QuorvelleDrive
