// Whole-file reads and writes. Failures throw Error values in NSCocoaErrorDomain:
//   read:  ENOENT/ENOTDIR 260, EACCES/EPERM 257, EFBIG/ENOMEM or no memory 263, other 256;
//   write: ENOENT/ENOTDIR 4, EACCES/EPERM 513, ENOSPC/EDQUOT 640, EROFS 642, ENAMETOOLONG 514,
//          other 512.
// Safe from several threads at once.
#pragma once

#include <filesystem>
#include <span>

#include "platform/buffer.h"

namespace QuorvelleDrive {

// The whole file at `path` in one buffer.
Buffer readFile(const std::filesystem::path& path);
// Creates or truncates `path` and writes every byte (short writes are resumed). Not atomic.
void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes);

}  // namespace QuorvelleDrive
