#include "park_reason.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "boundaries/file_provider_error.h"

namespace QuorvelleDrive::fuse {
namespace {

std::string retry(const ParkedChange& change) {
  return change.carriesBytes ? "save the file again" : "make the change again";
}

std::string sized(const ParkedChange& change) {
  return change.size ? ": " + sizeInWords(*change.size) : "";
}

}  // namespace

std::string sizeInWords(std::int64_t bytes) {
  std::string exact = std::to_string(bytes) + " bytes";
  if (bytes < 1024) return exact;
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  for (; value >= 1024 && unit < 3; ++unit) value /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, " (%.1f %s)", value, units[unit]);
  return exact + text;
}

std::string parkReason(const Error& error, const ParkedChange& change,
                       const std::string& otherwise) {
  bool tooBig =
      error.domain() == kCocoaErrorDomain && error.code() == CocoaError::fileWriteOutOfSpace;
  auto report = tooBig ? readThisHostsServerReport() : std::nullopt;
  return parkReason(error, change, otherwise,
                    report ? std::optional(serverState(*report)) : std::nullopt);
}

std::string parkReason(const Error& error, const ParkedChange& change, const std::string& otherwise,
                       const std::optional<ServerState>& server) {
  bool cocoa = error.domain() == kCocoaErrorDomain;
  bool provider = error.domain() == kFileProviderErrorDomain;
  // The extension reads an upload into memory whole; the file did not fit.
  if (cocoa && error.code() == CocoaError::fileReadTooLarge) {
    std::string memory =
        change.memory ? ", " + sizeInWords(*change.memory) + " of memory available" : "";
    return "too large to upload" + sized(change) + memory +
           "; it stays here: free memory or make the file smaller, then " + retry(change);
  }
  // The companion's "tooBig": over its --max-file-size, or its server's limit (413).
  if (cocoa && error.code() == CocoaError::fileWriteOutOfSpace && server)
    return "the server at " + server->url + " refused it as too large" + sized(change) +
           (server->largestTaken ? "; the largest body it has taken is " +
                                       sizeInWords(static_cast<std::int64_t>(server->largestTaken))
                                 : std::string()) +
           "; it stays here: make the file smaller or raise the server's limit on the size of "
           "uploads (Apache: LimitRequestBody; nginx: client_max_body_size), then " +
           retry(change);
  if (cocoa && error.code() == CocoaError::fileWriteOutOfSpace)
    return "too large for the companion" + sized(change) +
           "; it stays here: make the file smaller or raise the companion's limit (its "
           "--max-file-size), then " +
           retry(change);
  if (provider && error.code() == FileProviderError::insufficientQuota)
    return "the drive's store is full; it stays here: free space in the store, then " +
           retry(change);
  if (cocoa && error.code() == CocoaError::fileWriteNoPermission)
    return "the companion refuses changes here (a read-only drive, or no permission); it stays "
           "here: remove it, or make the drive writable and " +
           retry(change);
  if (cocoa && error.code() == CocoaError::fileReadNoSuchFile)
    return "its bytes on this machine are gone (removed from the mount's state folder); "
           "remove the file here to drop the change";
  if (provider && error.code() == FileProviderError::excludedFromSync)
    return "the companion does not sync this name; rename it to upload it";
  return otherwise + "; it stays here: " + retry(change) + " to try again";
}

std::optional<std::int64_t> memoryAvailable() {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  while (std::getline(meminfo, line)) {
    std::istringstream fields(line);
    std::string key;
    std::int64_t kib = 0;
    if (fields >> key >> kib && key == "MemAvailable:") return kib * 1024;
  }
  return std::nullopt;
}

}  // namespace QuorvelleDrive::fuse
