#include "platform/number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/json.h"

namespace QuorvelleDrive::testing {
namespace {

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ConversionCase {
  json::value value;
  std::int64_t integer;
  std::uint64_t unsignedValue;
};

TEST(NumberValue, ConvertsToSignedAndUnsigned) {
  // clang-format off
  const ConversionCase cases[] = {
      {std::int64_t{0}, 0, 0}, {std::int64_t{42}, 42, 42}, {std::int64_t{-1}, -1, kUInt64Max},
      {std::int64_t{-42}, -42, kUInt64Max - 41}, {kInt64Min, kInt64Min, std::uint64_t{1} << 63},
      {kInt64Max, kInt64Max, static_cast<std::uint64_t>(kInt64Max)},
      {std::uint64_t{1} << 63, kInt64Min, std::uint64_t{1} << 63}, {kUInt64Max, -1, kUInt64Max},
      {2.9, 2, 2}, {-2.9, -2, 0}, {-0.5, 0, 0}, {-0.0, 0, 0}, {1e300, kInt64Max, kUInt64Max},
      {-1e300, kInt64Min, 0}, {kInf, kInt64Max, kUInt64Max}, {-kInf, kInt64Min, 0}, {kNaN, 0, 0},
      {9223372036854775808.0, kInt64Max, std::uint64_t{1} << 63},
      {-9223372036854775808.0, kInt64Min, 0},
      {9223372036854774784.0, 9223372036854774784, 9223372036854774784u},
      {18446744073709549568.0, kInt64Max, 18446744073709549568u},
      {1.8446744073709552e19, kInt64Max, kUInt64Max}, {true, 1, 1}, {false, 0, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    auto number = numberValue(c.value);
    ASSERT_TRUE(number.has_value()) << c.value;
    EXPECT_EQ(number->integerValue(), c.integer) << c.value;
    EXPECT_EQ(number->unsignedLongLongValue(), c.unsignedValue) << c.value;
  }
}

TEST(NumberValue, NonNumbersHaveNone) {
  const json::value values[] = {"1", nullptr, json::array{1}, json::object{{"a", 1}}};
  for (const auto& value : values) {
    EXPECT_FALSE(numberValue(value).has_value()) << value;
  }
}

}  // namespace
}  // namespace QuorvelleDrive::testing
