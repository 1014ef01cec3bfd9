// Repeated rounds (races, many cycles) run only under `scripts/test --long`, which sets
// QD_LONG_TESTS in the tests' environment; the ordinary run keeps a few, so that the three
// suite builds stay quick.
#pragma once

#include <cstdlib>
#include <string>

namespace QuorvelleDrive::testing {

inline int roundsOf(int normal, int longRun) {
  const char* value = std::getenv("QD_LONG_TESTS");
  return value && *value && std::string(value) != "0" ? longRun : normal;
}

}  // namespace QuorvelleDrive::testing
