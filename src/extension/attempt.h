// Runs a step of a host operation and turns anything it throws into the host error value, so
// that the caller can answer exactly once, outside any try block.
#pragma once

#include <optional>

#include "channel/error_mapping.h"

namespace QuorvelleDrive {

template <class Step>
std::optional<Error> attempt(Step&& step) {
  try {
    step();
    return std::nullopt;
  } catch (...) {
    return hostError(std::current_exception());
  }
}

}  // namespace QuorvelleDrive
