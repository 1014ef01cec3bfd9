#include "platform/number.h"

#include <cmath>
#include <limits>

namespace QuorvelleDrive {
namespace {

// 2^63 and 2^64 are exact doubles; comparing against them keeps the casts in range.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

std::int64_t saturatingSigned(double d) {
  if (std::isnan(d)) return 0;
  if (d >= kTwoPow63) return std::numeric_limits<std::int64_t>::max();
  if (d < -kTwoPow63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::uint64_t saturatingUnsigned(double d) {
  if (std::isnan(d) || d <= 0) return 0;
  if (d >= kTwoPow64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(d);
}

}  // namespace

std::int64_t Number::integerValue() const {
  if (auto* i = std::get_if<std::int64_t>(&value_)) return *i;
  if (auto* u = std::get_if<std::uint64_t>(&value_)) return static_cast<std::int64_t>(*u);
  if (auto* b = std::get_if<bool>(&value_)) return *b ? 1 : 0;
  return saturatingSigned(std::get<double>(value_));
}

std::uint64_t Number::unsignedLongLongValue() const {
  if (auto* i = std::get_if<std::int64_t>(&value_)) return static_cast<std::uint64_t>(*i);
  if (auto* u = std::get_if<std::uint64_t>(&value_)) return *u;
  if (auto* b = std::get_if<bool>(&value_)) return *b ? 1 : 0;
  return saturatingUnsigned(std::get<double>(value_));
}

double Number::doubleValue() const {
  if (auto* i = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*i);
  if (auto* u = std::get_if<std::uint64_t>(&value_)) return static_cast<double>(*u);
  if (auto* b = std::get_if<bool>(&value_)) return *b ? 1.0 : 0.0;
  return std::get<double>(value_);
}

}  // namespace QuorvelleDrive
