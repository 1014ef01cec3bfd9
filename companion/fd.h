// Owns one file descriptor and closes it exactly once: the platform's own, under the name the
// companion's code uses.
#pragma once

#include "platform/file_descriptor.h"

namespace QuorvelleDrive::companion {

using UniqueFd = QuorvelleDrive::FileDescriptor;

}  // namespace QuorvelleDrive::companion
