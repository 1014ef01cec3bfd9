// The channel's own failure: the companion app is out of reach, or its answer is not a frame
// holding a JSON object. Recognised by type alone; it never reaches the host.
#pragma once

#include <exception>

namespace QuorvelleDrive {

struct Unavailable : std::exception {
  const char* what() const noexcept override { return "companion app unavailable"; }
};

}  // namespace QuorvelleDrive
