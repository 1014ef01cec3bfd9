#include "qdrive/report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iomanip>

#include "boundaries/file_provider_error.h"

namespace QuorvelleDrive::Qdrive {
namespace {

// Doubles that are whole and exactly representable are written as integers, for readability.
constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

json::value doubleJSON(double value) {
  if (!std::isfinite(value)) return nullptr;
  if (value == std::trunc(value) && std::fabs(value) < kExactIntegerLimit)
    return static_cast<std::int64_t>(value);
  return value;
}

// Keeps the number's kind: an unsigned value above INT64_MAX reads back negative as a signed
// one, and the double view tells the two apart.
json::value numberJSON(const Number& number) {
  if (number.isDouble()) return doubleJSON(number.doubleValue());
  if (number.integerValue() < 0 && number.doubleValue() > 0) return number.unsignedLongLongValue();
  return number.integerValue();
}

json::value dateJSON(const std::optional<Date>& date) {
  return date ? doubleJSON(date->timeIntervalSince1970) : json::value(nullptr);
}

struct ErrorName {
  const char* domain;
  long code;
  const char* name;
};

constexpr std::array kErrorNames{
    ErrorName{kFileProviderErrorDomain, FileProviderError::filenameCollision, "filename collision"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::syncAnchorExpired,
              "sync anchor expired"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::insufficientQuota, "insufficient quota"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::serverUnreachable, "server unreachable"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::noSuchItem, "no such item"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::directoryNotEmpty,
              "directory not empty"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::cannotSynchronize, "cannot synchronize"},
    ErrorName{kFileProviderErrorDomain, FileProviderError::excludedFromSync, "excluded from sync"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileNoSuchFile, "no such file"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileReadUnknown, "cannot read the file"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileReadNoPermission, "no permission to read"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileReadNoSuchFile, "no such file to read"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileReadTooLarge, "file too large to read"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileWriteUnknown, "cannot write the file"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileWriteNoPermission, "no permission to write"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileWriteInvalidFileName, "invalid file name"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileWriteOutOfSpace, "out of space"},
    ErrorName{kCocoaErrorDomain, CocoaError::fileWriteVolumeReadOnly, "read-only volume"},
    ErrorName{kCocoaErrorDomain, CocoaError::propertyListReadCorrupt, "unreadable JSON"},
    ErrorName{kCocoaErrorDomain, CocoaError::propertyListWriteInvalid, "cannot be written as JSON"},
};

const char* errorName(const Error& error) {
  for (const auto& entry : kErrorNames)
    if (error.domain() == entry.domain && error.code() == entry.code) return entry.name;
  return "error";
}

// Text for a terminal: invalid UTF-8 as U+FFFD, control characters as \xNN, empty as "".
std::string displayText(std::string_view bytes) {
  if (bytes.empty()) return "\"\"";
  std::string out;
  for (unsigned char c : decodeUTF8Lossy(bytes)) {
    if (c < 0x20 || c == 0x7f) {
      std::array<char, 5> escaped{};
      std::snprintf(escaped.data(), escaped.size(), "\\x%02X", c);
      out += escaped.data();
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// People see the container constants under the aliases they type.
std::string displayIdentifier(const ItemIdentifier& identifier) {
  if (identifier == rootContainerItemIdentifier()) return "@root";
  if (identifier == workingSetContainerItemIdentifier()) return "@working-set";
  if (identifier == trashContainerItemIdentifier()) return "@trash";
  return displayText(identifier.rawValue());
}

std::size_t displayWidth(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string padded(const std::string& text, std::size_t width, bool right = false) {
  std::string fill(width - std::min(width, displayWidth(text)), ' ');
  return right ? fill + text : text + fill;
}

std::string humanSize(const std::optional<Number>& size) {
  if (!size) return "-";
  std::int64_t bytes = size->integerValue();
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr std::array kUnits{"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < kUnits.size()) value /= 1024, ++unit;
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text.data();
}

// Local time like ls; dates the calendar cannot hold are shown as their number of seconds.
std::string humanDate(const std::optional<Date>& date, const char* format) {
  if (!date) return "-";
  double seconds = date->timeIntervalSince1970;
  std::tm parts{};
  if (!(std::fabs(seconds) < 1e15)) return std::to_string(seconds);
  auto whole = static_cast<std::time_t>(std::floor(seconds));
  if (!::localtime_r(&whole, &parts)) return std::to_string(seconds);
  std::array<char, 64> text{};
  std::strftime(text.data(), text.size(), format, &parts);
  return text.data();
}

bool isFolder(const FileProviderItem& item) {
  auto type = item.contentType();
  return type && type->conforms(ContentType::folder());
}

std::string capabilityNames(ItemCapabilities capabilities) {
  static constexpr std::array<std::pair<ItemCapabilities, const char*>, 6> kNames{{
      {ItemCapability::allowsReading, "read"},
      {ItemCapability::allowsWriting, "write"},
      {ItemCapability::allowsReparenting, "move"},
      {ItemCapability::allowsRenaming, "rename"},
      {ItemCapability::allowsTrashing, "trash"},
      {ItemCapability::allowsDeleting, "delete"},
  }};
  std::string out;
  for (const auto& [bit, name] : kNames)
    if (capabilities & bit) out += (out.empty() ? "" : ", ") + std::string(name);
  return out.empty() ? "none" : out;
}

std::string uploadState(const FileProviderItem& item) {
  if (auto error = item.uploadingError()) return "failed: " + errorLine(*error);
  if (item.isUploading()) return "uploading";
  return item.isUploaded() ? "uploaded" : "not uploaded";
}

}  // namespace

json::string jsonText(std::string_view bytes) {
  return json::string(isValidUTF8(bytes) ? std::string(bytes) : decodeUTF8Lossy(bytes));
}

json::object errorJSON(const Error& error) {
  return {{"domain", jsonText(error.domain())}, {"code", static_cast<std::int64_t>(error.code())}};
}

json::object itemJSON(const FileProviderItem& item) {
  auto type = item.contentType();
  auto size = item.documentSize();
  auto version = item.itemVersion();
  auto uploadError = item.uploadingError();
  return {
      {"itemIdentifier", jsonText(item.itemIdentifier().rawValue())},
      {"parentItemIdentifier", jsonText(item.parentItemIdentifier().rawValue())},
      {"filename", jsonText(item.filename())},
      {"contentType", type ? json::value(jsonText(type->identifier())) : json::value(nullptr)},
      {"documentSize", size ? numberJSON(*size) : json::value(nullptr)},
      {"contentModificationDate", dateJSON(item.contentModificationDate())},
      {"creationDate", dateJSON(item.creationDate())},
      {"contentVersion", jsonText(version.contentVersion)},
      {"metadataVersion", jsonText(version.metadataVersion)},
      {"capabilities", static_cast<std::uint64_t>(item.capabilities())},
      {"isUploaded", item.isUploaded()},
      {"isUploading", item.isUploading()},
      {"uploadingError", uploadError ? json::value(errorJSON(*uploadError)) : json::value(nullptr)},
  };
}

std::string errorLine(const Error& error) {
  return std::string(errorName(error)) + " (" + displayText(error.domain()) + " " +
         std::to_string(error.code()) + ")";
}

void printItem(std::ostream& out, const FileProviderItem& item) {
  auto type = item.contentType();
  auto version = item.itemVersion();
  const std::pair<const char*, std::string> rows[] = {
      {"id", displayIdentifier(item.itemIdentifier())},
      {"parent", displayIdentifier(item.parentItemIdentifier())},
      {"name", displayText(item.filename())},
      {"type", type ? displayText(type->identifier()) : "-"},
      {"size", humanSize(item.documentSize())},
      {"modified", humanDate(item.contentModificationDate(), "%Y-%m-%d %H:%M:%S")},
      {"created", humanDate(item.creationDate(), "%Y-%m-%d %H:%M:%S")},
      {"version", displayText(version.contentVersion)},
      {"metadata", displayText(version.metadataVersion)},
      {"access", capabilityNames(item.capabilities())},
      {"upload", uploadState(item)},
  };
  for (const auto& [label, value] : rows)
    out << std::left << std::setw(10) << label << value << '\n';
}

void printTable(std::ostream& out,
                const std::vector<std::shared_ptr<const FileProviderItem>>& items) {
  if (items.empty()) return;
  using Row = std::array<std::string, 5>;
  std::vector<Row> rows{{"KIND", "SIZE", "MODIFIED", "NAME", "ID"}};
  for (const auto& item : items)
    rows.push_back({isFolder(*item) ? "dir" : "file",
                    isFolder(*item) ? "-" : humanSize(item->documentSize()),
                    humanDate(item->contentModificationDate(), "%Y-%m-%d %H:%M"),
                    displayText(item->filename()), displayIdentifier(item->itemIdentifier())});
  std::array<std::size_t, 5> widths{};
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], displayWidth(row[i]));
  for (const auto& row : rows) {
    out << padded(row[0], widths[0]) << "  " << padded(row[1], widths[1], true) << "  "
        << padded(row[2], widths[2]) << "  " << padded(row[3], widths[3]) << "  " << row[4] << '\n';
  }
}

int Report::success(const json::object& result, const std::function<void(std::ostream&)>& human) {
  if (json_)
    out_ << writeJSON(result) << '\n';
  else
    human(out_);
  return kSucceeded;
}

int Report::failure(const Error& error) {
  if (json_)
    out_ << writeJSON(json::object{{"error", errorJSON(error)}}) << '\n';
  else
    err_ << errorLine(error) << '\n';
  return kHostCallFailed;
}

}  // namespace QuorvelleDrive::Qdrive
