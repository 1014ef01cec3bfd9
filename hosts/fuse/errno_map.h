// Host errors as errno values for the kernel, and item capabilities as file modes.
#pragma once

#include <sys/types.h>

#include "boundaries/file_provider_item.h"
#include "platform/error.h"

namespace QuorvelleDrive::fuse {

int errnoFor(const Error& error);
mode_t modeFor(bool isFolder, ItemCapabilities capabilities);
// Whether a companion name can be a Linux file name (not empty, ".", "..", no '/' or NUL).
bool isUsableName(const std::string& name);

}  // namespace QuorvelleDrive::fuse
