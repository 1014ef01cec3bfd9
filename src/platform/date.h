// The platform's date: seconds since 1970-01-01 00:00:00 UTC, fractions kept.
#pragma once

namespace QuorvelleDrive {

struct Date {
  double timeIntervalSince1970 = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

}  // namespace QuorvelleDrive
