#include "platform/json.h"

#include <boost/json/basic_parser_impl.hpp>
#include <charconv>
#include <cmath>
#include <new>
#include <string>

#include "platform/error.h"

namespace QuorvelleDrive {
namespace {

// Builds the document on a value_stack. Numbers are rebuilt from their text because Boost 1.81's
// own double conversion is not always correctly rounded.
class BuildHandler {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  explicit BuildHandler(json::storage_ptr storage) { stack_.reset(std::move(storage)); }

  json::value release() { return stack_.release(); }

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    stack_.push_array(n);
    return true;
  }
  bool on_object_begin(json::error_code&) { return true; }
  // value_stack::push_object keeps the last of any duplicate keys.
  bool on_object_end(std::size_t n, json::error_code&) {
    stack_.push_object(n);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    stack_.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code&) {
    stack_.push_string(s);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    stack_.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    stack_.push_key(s);
    return true;
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    number_.clear();
    stack_.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number_.clear();
    stack_.push_uint64(u);
    return true;
  }
  bool on_double(double approximate, json::string_view s, json::error_code& ec);
  bool on_bool(bool b, json::error_code&) {
    stack_.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    stack_.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  json::value_stack stack_;
  std::string number_;
};

// Converts JSON number text correctly rounded. `approximate` is Boost's own reading, good enough
// to tell underflow (read as a signed zero) from overflow (no finite reading, refused).
std::optional<double> parseDouble(std::string_view text, double approximate) {
  double d = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc()) return d;
  if (ec != std::errc::result_out_of_range || !(std::fabs(approximate) < 1)) return std::nullopt;
  return text.front() == '-' ? -0.0 : 0.0;
}

bool BuildHandler::on_double(double approximate, json::string_view s, json::error_code& ec) {
  number_.append(s.data(), s.size());
  auto d = parseDouble(number_, approximate);
  number_.clear();
  if (!d) {
    ec = json::error::exponent_overflow;
    return false;
  }
  stack_.push_double(*d);
  return true;
}

json::value parseDocument(std::string_view text, json::storage_ptr storage) {
  json::parse_options options;
  options.max_depth = kMaxJSONDepth;
  json::basic_parser<BuildHandler> parser(options, std::move(storage));
  json::error_code ec;
  auto used = parser.write_some(false, text.data(), text.size(), ec);
  if (ec || !parser.done() || used != text.size())
    throw cocoaError(CocoaError::propertyListReadCorrupt);
  return parser.handler().release();
}

bool isWritable(const json::value& value) {
  switch (value.kind()) {
    case json::kind::string:
      return isValidUTF8(value.get_string());
    case json::kind::double_:
      return std::isfinite(value.get_double());
    case json::kind::array:
      for (const auto& element : value.get_array()) {
        if (!isWritable(element)) return false;
      }
      return true;
    case json::kind::object:
      for (const auto& member : value.get_object()) {
        if (!isValidUTF8(member.key()) || !isWritable(member.value())) return false;
      }
      return true;
    default:
      return true;
  }
}

// Length of the UTF-8 sequence starting at `i`, and whether it is well formed. An ill-formed
// sequence's length is its maximal subpart: the longest prefix that could still have begun a
// valid sequence, or 1 when the lead byte itself is bad.
struct Sequence {
  std::size_t length;
  bool valid;
};

Sequence scanSequence(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) return {1, true};
  std::size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {k, false};
    unsigned char c = byte(i + k);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return {k, false};
  }
  return {need + 1, true};
}

}  // namespace

json::value readJSON(std::string_view text, json::storage_ptr storage) {
  // Built in place: assigning the document to a value made beforehand would copy it out of
  // `storage` into that value's own.
  auto read = [&] {
    try {
      return parseDocument(text, std::move(storage));
    } catch (const Error&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      throw cocoaError(CocoaError::propertyListReadCorrupt);
    }
  };
  json::value result = read();
  if (!result.is_object() && !result.is_array()) {
    throw cocoaError(CocoaError::propertyListReadCorrupt);
  }
  return result;
}

std::string writeJSON(const json::value& value) {
  if (!value.is_object() && !value.is_array())
    throw cocoaError(CocoaError::propertyListWriteInvalid);
  if (!isWritable(value)) throw cocoaError(CocoaError::propertyListWriteInvalid);
  return json::serialize(value);
}

std::optional<Number> numberValue(const json::value& value) {
  switch (value.kind()) {
    case json::kind::int64:
      return Number(value.get_int64());
    case json::kind::uint64:
      return Number(value.get_uint64());
    case json::kind::double_:
      return Number(value.get_double());
    case json::kind::bool_:
      return Number(value.get_bool());
    default:
      return std::nullopt;
  }
}

bool isValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    auto sequence = scanSequence(text, i);
    if (!sequence.valid) return false;
    i += sequence.length;
  }
  return true;
}

std::string decodeUTF8Lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    auto sequence = scanSequence(bytes, i);
    if (sequence.valid) {
      out.append(bytes.substr(i, sequence.length));
    } else {
      out.append(kReplacement);
    }
    i += sequence.length;
  }
  return out;
}

}  // namespace QuorvelleDrive
