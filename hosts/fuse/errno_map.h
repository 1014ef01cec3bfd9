// Host errors as errno values for the kernel, and item capabilities as file modes.
#pragma once

#include <sys/types.h>

#include "boundaries/file_provider_item.h"
#include "platform/error.h"

namespace QuorvelleDrive::fuse {

inline constexpr std::size_t kNameMax = 255;

int errnoFor(const Error& error);
// The errno for the exception being handled (call inside a catch block): the mount's own file
// errors as the file system would give them (ENOSPC for a full state folder), out of memory as
// ENOMEM, anything else EIO.
int errnoForCurrentException() noexcept;
mode_t modeFor(bool isFolder, ItemCapabilities capabilities);
// Whether a companion name can be a Linux file name (not empty, ".", "..", no '/' or NUL, at
// most 255 bytes).
bool isUsableName(const std::string& name);
// Why `name` cannot name a new entry: ENAMETOOLONG over 255 bytes, EINVAL when it is no file
// name at all; 0 when it can.
int nameError(const std::string& name);

}  // namespace QuorvelleDrive::fuse
