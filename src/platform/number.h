// The platform's number object: a JSON number or boolean as received, with the platform's
// conversions. Conversions never reach undefined behaviour, whatever the stored value.
#pragma once

#include <cstdint>
#include <variant>

namespace QuorvelleDrive {

class Number {
 public:
  explicit Number(std::int64_t v) : value_(v) {}
  explicit Number(std::uint64_t v) : value_(v) {}
  explicit Number(double v) : value_(v) {}
  explicit Number(bool v) : value_(v) {}

  bool isDouble() const { return std::holds_alternative<double>(value_); }
  bool isBool() const { return std::holds_alternative<bool>(value_); }

  // Signed value. An unsigned value above INT64_MAX wraps modulo 2^64; a double is truncated
  // toward zero and saturates at the int64 limits; NaN gives 0; a boolean gives 0 or 1.
  std::int64_t integerValue() const;
  // Unsigned value. A negative integer wraps modulo 2^64; a double is truncated toward zero and
  // saturates to [0, UINT64_MAX]; NaN gives 0; a boolean gives 0 or 1.
  std::uint64_t unsignedLongLongValue() const;
  double doubleValue() const;

  friend bool operator==(const Number&, const Number&) = default;

 private:
  std::variant<std::int64_t, std::uint64_t, double, bool> value_;
};

}  // namespace QuorvelleDrive
