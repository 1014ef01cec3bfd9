// What qdrive prints. With --json: exactly one compact JSON object on stdout, one line, also for
// a failed host call. Without: text for people on stdout, and a failed call as one line on stderr.
//
// Byte strings (identifiers, names, versions, paths) that are not valid UTF-8 cannot be JSON
// strings as they stand; they are written with each maximal invalid byte sequence replaced by
// U+FFFD, the same rule the extension applies to base versions it sends. Valid text is unchanged.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "boundaries/file_provider_item.h"
#include "platform/json.h"

namespace QuorvelleDrive::Qdrive {

// Exit statuses.
inline constexpr int kSucceeded = 0;
inline constexpr int kHostCallFailed = 1;
inline constexpr int kUsageError = 2;
inline constexpr int kTimedOut = 3;

json::string jsonText(std::string_view bytes);
json::object itemJSON(const FileProviderItem& item);
json::object errorJSON(const Error& error);

// "no such item (NSFileProviderErrorDomain -1005)"
std::string errorLine(const Error& error);

void printItem(std::ostream& out, const FileProviderItem& item);
// Kind, size, modification time, name and identifier, one aligned row per item.
void printTable(std::ostream& out,
                const std::vector<std::shared_ptr<const FileProviderItem>>& items);

class Report {
 public:
  Report(bool json, std::ostream& out, std::ostream& err) : json_(json), out_(out), err_(err) {}

  bool json() const { return json_; }
  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }

  // Prints `result` as the JSON line, or lets `human` print; returns kSucceeded.
  int success(const json::object& result, const std::function<void(std::ostream&)>& human);
  // Prints the error as {"error": ...} or as one line on stderr; returns kHostCallFailed.
  int failure(const Error& error);

 private:
  bool json_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace QuorvelleDrive::Qdrive
