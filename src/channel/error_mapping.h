// From companion error words and channel failures to host errors. Pure; any thread.
#pragma once

#include <exception>
#include <string_view>

#include "platform/error.h"

namespace QuorvelleDrive {

// The host error for a companion error word; exact, case-sensitive match, and any other word
// (the empty one included) means cannotSynchronize.
Error appError(std::string_view word);

// Unavailable becomes serverUnreachable; every other error is returned unchanged.
std::exception_ptr unreachable(std::exception_ptr error);

// The value handed to the host for a caught error: the Error itself, or cannotSynchronize for
// anything that is not one (out of memory, say), so that no foreign exception crosses over.
Error hostError(std::exception_ptr error);

}  // namespace QuorvelleDrive
