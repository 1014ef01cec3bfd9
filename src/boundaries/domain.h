// A domain: one synchronised tree the host presents, named by an identifier.
#pragma once

#include <string>

namespace QuorvelleDrive {

struct Domain {
  std::string identifier;
  std::string displayName;
  friend bool operator==(const Domain&, const Domain&) = default;
};

}  // namespace QuorvelleDrive
