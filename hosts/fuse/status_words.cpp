#include "status_words.h"

#include <charconv>
#include <regex>

#include "boundaries/file_provider_error.h"

namespace QuorvelleDrive::fuse {
namespace {

// What the uploader appends to its words for an error: " (NSFileProviderErrorDomain -1004)".
const std::regex& codeWords() {
  static const std::regex code(R"( \(([A-Za-z]+ErrorDomain) (-?[0-9]+)\))");
  return code;
}

std::optional<std::string> serverWords(const std::string& domain, long code,
                                       const ServerState& server, std::time_t now) {
  std::string at = "the server at " + server.url;
  if (domain == kFileProviderErrorDomain && code == FileProviderError::serverUnreachable)
    return server.answering ? "the companion, or " + at + ", is unreachable or busy"
                            : outageWords(server, now);
  if (domain == kFileProviderErrorDomain && code == FileProviderError::insufficientQuota)
    return at + " has no space left";
  if (domain == kCocoaErrorDomain && code == CocoaError::fileWriteNoPermission)
    return server.credentials.starts_with("refused")
               ? "not allowed: " + at + " refused the credentials"
               : "not allowed by " + at;
  return std::nullopt;
}

}  // namespace

std::string clockWords(std::time_t when, std::time_t now) {
  std::tm then{}, today{};
  ::localtime_r(&when, &then);
  ::localtime_r(&now, &today);
  bool sameDay = then.tm_year == today.tm_year && then.tm_yday == today.tm_yday;
  char text[32];
  std::strftime(text, sizeof text, sameDay ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &then);
  return text;
}

std::string silenceWords(const ServerState& server, std::time_t now) {
  std::string words = "not answering since " + clockWords(server.silentSince, now);
  if (server.nextLook)
    words += *server.nextLook > now ? ", next try at " + clockWords(*server.nextLook, now)
                                    : ", trying again now";
  if (!server.silence.empty()) words += " (" + server.silence + ")";
  return words;
}

std::string outageWords(const ServerState& server, std::time_t now) {
  return "the server at " + server.url + " is " + silenceWords(server, now);
}

std::string forPeople(const std::string& recorded, const std::optional<ServerState>& server,
                      std::time_t now) {
  std::smatch found;
  if (!std::regex_search(recorded, found, codeWords())) return recorded;
  std::string what = found.prefix().str();
  long code = 0;
  std::string digits = found[2].str();
  bool read = std::from_chars(digits.data(), digits.data() + digits.size(), code).ec == std::errc();
  if (server && read)
    if (auto words = serverWords(found[1].str(), code, *server, now)) what = *words;
  return what + std::regex_replace(found.suffix().str(), codeWords(), "");
}

}  // namespace QuorvelleDrive::fuse
