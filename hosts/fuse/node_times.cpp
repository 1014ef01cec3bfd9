#include "node_times.h"

#include <cmath>
#include <cstdint>

namespace QuorvelleDrive::fuse {

timespec wallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

timespec timespecOf(double seconds) {
  constexpr double kLimit = 9e9;  // seconds whose nanoseconds still fit in 63 bits
  if (!(seconds > -kLimit && seconds < kLimit)) return {};
  auto nanoseconds = static_cast<std::int64_t>(std::llround(seconds * 1e9));
  auto whole = nanoseconds / 1'000'000'000;
  auto rest = nanoseconds % 1'000'000'000;
  if (rest < 0) {
    rest += 1'000'000'000;
    --whole;
  }
  return {static_cast<time_t>(whole), static_cast<long>(rest)};
}

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

const timespec& later(const timespec& a, const timespec& b) {
  return earlier(a, b) ? b : a;
}

NodeTimes NodeTimes::from(const std::optional<Date>& modified) {
  timespec t = modified ? timespecOf(modified->timeIntervalSince1970) : timespec{};
  return {t, t, t};
}

}  // namespace QuorvelleDrive::fuse
