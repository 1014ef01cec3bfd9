#include "platform/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace QuorvelleDrive::testing {
namespace {

const std::string kReadCorrupt = "NSCocoaErrorDomain 3840";
const std::string kWriteInvalid = "NSCocoaErrorDomain 3852";

// What `f` throws, as "domain code", so a wrong exception type shows up in the failure message.
std::string outcomeOf(const std::function<void()>& f) {
  try {
    f();
    return "no error";
  } catch (const Error& e) {
    return e.domain() + " " + std::to_string(e.code());
  } catch (const std::exception& e) {
    return std::string("other exception: ") + e.what();
  }
}

std::string readOutcome(std::string_view text) {
  return outcomeOf([&] { readJSON(text); });
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

std::string nestedArrays(std::size_t depth) {
  return repeat("[", depth) + repeat("]", depth);
}

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(ReadJSON, RejectsScalarsMalformedTextAndInvalidUTF8) {
  // clang-format off
  const char* texts[] = {
      "\"s\"", "3", "-0", "true", "null", "", "   ", "{", "[1,]", "{\"a\"}", "{'a':1}", "[1] x",
      "{} {}", "[01]", "[1.]", "[+1]", "[NaN]", "[\"\\x\"]", "// c\n[]", "[\"a\tb\"]",
      "[\"\\ud800\"]", "[\"\xFF\"]", "[\"a\xC0\xAF\"]", "[\"\xED\xA0\x80\"]",
      "{\"\xF4\x90\x80\x80\":1}", "[\"\xF0\x9F\x98\"]", "[1]\xFF", "[1e400]", "[-1e400]",
      "[1.8e308]",
  };
  // clang-format on
  for (const char* text : texts) EXPECT_EQ(readOutcome(text), kReadCorrupt) << text;
}

TEST(ReadJSON, NestingIsCappedAtMaxDepth) {
  auto value = readJSON(nestedArrays(kMaxJSONDepth));
  const json::value* inner = &value;
  for (std::size_t i = 1; i < kMaxJSONDepth; ++i) inner = &inner->as_array().at(0);
  EXPECT_TRUE(inner->as_array().empty());
  EXPECT_NO_THROW(
      readJSON(repeat("{\"a\":", kMaxJSONDepth - 1) + "{}" + repeat("}", kMaxJSONDepth - 1)));

  std::string tooDeep[] = {
      nestedArrays(kMaxJSONDepth + 1), repeat("[", 100000),       nestedArrays(100000),
      repeat("{\"a\":", 100000),       repeat("[{\"a\":", 50000),
  };
  for (const auto& text : tooDeep) {
    EXPECT_EQ(readOutcome(text), kReadCorrupt) << text.substr(0, 20) << "... size " << text.size();
  }
}

TEST(ReadJSON, DuplicateKeyKeepsLastValue) {
  auto value = readJSON(R"({"a":1,"b":2,"a":{"x":1,"x":[3]},"b":"last"})");
  const auto& object = value.as_object();
  EXPECT_EQ(object.size(), 2u);
  EXPECT_EQ(object.at("a"), json::parse(R"({"x":[3]})"));
  EXPECT_EQ(object.at("b"), "last");
}

TEST(ReadJSON, KeepsIntegersExact) {
  const std::pair<const char*, json::value> cases[] = {
      {"0", std::int64_t{0}},
      {"-0", std::int64_t{0}},
      {"9007199254740993", std::int64_t{9007199254740993}},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"9223372036854775808", std::uint64_t{9223372036854775808u}},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& [text, expected] : cases) {
    auto value = readJSON(std::string("[") + text + "]").as_array().at(0);
    EXPECT_EQ(value.kind(), expected.kind()) << text;
    EXPECT_EQ(value, expected) << text;
  }
}

TEST(ReadJSON, ReadsExponentsFractionsAndSignedZero) {
  const std::pair<const char*, double> cases[] = {
      {"1E2", 100.0},
      {"-2.5e-3", -0.0025},
      {"-0.0", -0.0},
      {"4.9e-324", std::numeric_limits<double>::denorm_min()},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
  };
  for (const auto& [text, expected] : cases) {
    auto value = readJSON(std::string("[") + text + "]").as_array().at(0).as_double();
    EXPECT_TRUE(sameBits(value, expected)) << text;
  }
}

std::string randomSeventeenDigitNumber(std::mt19937_64& rng) {
  std::uniform_int_distribution<std::uint64_t> mantissa(10000000000000000u, 99999999999999999u);
  std::uniform_int_distribution<int> exponent(-307, 307);
  std::string digits = std::to_string(mantissa(rng));
  std::string sign = rng() % 2 ? "-" : "";
  return sign + digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(exponent(rng));
}

TEST(ReadJSON, RandomSeventeenDigitDoublesMatchStrtod) {
  std::mt19937_64 rng(20240601);
  std::vector<std::string> texts;
  std::string document = "[";
  for (int i = 0; i < 2000; ++i) {
    texts.push_back(randomSeventeenDigitNumber(rng));
    document += (i ? "," : "") + texts.back();
  }
  auto values = readJSON(document + "]").as_array();
  ASSERT_EQ(values.size(), texts.size());
  int mismatches = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (sameBits(values[i].as_double(), std::strtod(texts[i].c_str(), nullptr))) continue;
    if (++mismatches <= 5) ADD_FAILURE() << texts[i] << " read as " << values[i].as_double();
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(WriteJSON, OutputIsCompactAndRoundTrips) {
  json::value value = {
      {"list", {1, -2, std::numeric_limits<std::uint64_t>::max(), 0.1, true, nullptr, "x\"y\n"}},
      {"nested", {{"empty", json::object()}, {"none", json::array()}}},
      {"\xC3\xA9", 1.7976931348623157e308},
  };
  std::string text = writeJSON(value);
  EXPECT_EQ(text.find_first_of(" \n\t"), std::string::npos) << text;
  EXPECT_EQ(readJSON(text), value);
  EXPECT_EQ(writeJSON(json::array()), "[]");
  EXPECT_EQ(writeJSON(json::object()), "{}");
}

TEST(WriteJSON, RejectsInvalidUTF8NonFiniteNumbersAndScalarTopLevel) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // clang-format off
  const json::value values[] = {
      json::array{"\xFF"}, json::array{"ok", json::array{json::object{{"k", "\xED\xA0\x80"}}}},
      json::object{{"\xC0\xAF", 1}}, json::array{nan}, json::array{-inf},
      json::object{{"a", json::array{1, json::object{{"b", inf}}}}}, "s", 3, true, nullptr,
  };
  // clang-format on
  for (const auto& value : values)
    EXPECT_EQ(outcomeOf([&] { writeJSON(value); }), kWriteInvalid) << value;
}

struct UTF8Case {
  std::string input;
  bool valid;
  std::string decoded;
};

const std::string kFFFD = "\xEF\xBF\xBD";

const UTF8Case kUTF8Cases[] = {
    {"", true, ""},
    {"plain", true, "plain"},
    {std::string("a\0b", 3), true, std::string("a\0b", 3)},
    {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    {"\xED\x9F\xBF\xEE\x80\x80", true, "\xED\x9F\xBF\xEE\x80\x80"},  // U+D7FF, U+E000
    {"\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},                  // U+10FFFF
    {"\xEF\xBF\xBD", true, "\xEF\xBF\xBD"},
    {"\xF0\x9F\x98", false, kFFFD},
    {"\xF0\x9F\x98!", false, kFFFD + "!"},
    {"\xC0\xAF", false, kFFFD + kFFFD},
    {"\xE0\x80\x80", false, kFFFD + kFFFD + kFFFD},
    {"\xF0\x80\x80\x80", false, kFFFD + kFFFD + kFFFD + kFFFD},
    {"\xED\xA0\x80", false, kFFFD + kFFFD + kFFFD},
    {"\xE2\x82z", false, kFFFD + "z"},
    {"\xFF", false, kFFFD},
    {"\x80", false, kFFFD},
    {"a\xC3", false, "a" + kFFFD},
    {"\xC3\xC3\xA9", false, kFFFD + "\xC3\xA9"},
    {"\xF4\x90\x80\x80", false, kFFFD + kFFFD + kFFFD + kFFFD},
    {"\xF8\x88\x80\x80\x80", false, kFFFD + kFFFD + kFFFD + kFFFD + kFFFD},
    {"a\xF1\x80\x80\xE1\x80\xC2x\x80y\x80\xBFz", false,
     "a" + kFFFD + kFFFD + kFFFD + "x" + kFFFD + "y" + kFFFD + kFFFD + "z"},
};

TEST(UTF8, ValidityIsStrictAndLossyDecodeReplacesEachMaximalInvalidSubpart) {
  for (const auto& c : kUTF8Cases) {
    // gtest prints the bytes escaped, so a failure shows which byte was misread.
    EXPECT_EQ(isValidUTF8(c.input), c.valid) << ::testing::PrintToString(c.input);
    EXPECT_EQ(decodeUTF8Lossy(c.input), c.decoded) << ::testing::PrintToString(c.input);
  }
}

}  // namespace
}  // namespace QuorvelleDrive::testing
