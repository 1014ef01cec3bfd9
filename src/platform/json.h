// The platform's JSON reader and writer, over Boost.JSON.
//
// Reader rules: the top level must be an object or an array; numbers are read correctly rounded
// (from_chars on the number text); whole numbers stay exact across the int64 and uint64 ranges;
// a duplicate key keeps its last value; text must be valid UTF-8; nesting deeper than
// kMaxJSONDepth is an error. Every failure throws Error(NSCocoaErrorDomain, 3840).
//
// Writer rules: the top level must be an object or an array; every string and key must be valid
// UTF-8 and every double finite. Every failure throws Error(NSCocoaErrorDomain, 3852) and no
// text is produced. Output is compact.
//
// Both are pure and safe to call from several threads at once.
#pragma once

#include <boost/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/number.h"

namespace QuorvelleDrive {

namespace json = boost::json;

inline constexpr std::size_t kMaxJSONDepth = 512;

// `storage` holds the document's memory; none means the default heap.
json::value readJSON(std::string_view text, json::storage_ptr storage = {});
std::string writeJSON(const json::value& value);

// The value as the platform's number object: integers, doubles and booleans (as 0 or 1) are
// numbers; every other kind is none.
std::optional<Number> numberValue(const json::value& value);

// True when `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);
// Decodes `bytes` as UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::string decodeUTF8Lossy(std::string_view bytes);

}  // namespace QuorvelleDrive
