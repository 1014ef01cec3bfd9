#include "qdrive/cache_commands.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "qdrive/commands.h"
#include "qdrive/report.h"

namespace QuorvelleDrive::Qdrive {
namespace {

// Whether the file at `path`, shown as `status`, is kept by a pin on a folder above it rather
// than one of its own: unpinning or freeing it alone would change nothing.
bool keptByAFolderPin(const std::string& path, std::string_view status) {
  char pinned[8];
  ssize_t n = ::getxattr(path.c_str(), "user.quorvelle.pinned", pinned, sizeof pinned);
  return status == "pinned" && n >= 0 && std::string_view(pinned, n) == "0";
}

// Sets `attribute` to `value` on every path; says which failed and why. With `letsGo` (unpin,
// free), a file that a pinned folder keeps is refused: it would stay, or come back at once.
int setOnEach(const Invocation& invocation, const char* attribute, const char* value,
              const char* done, bool letsGo = false) {
  auto& report = invocation.report;
  json::array failed;
  for (const auto& path : invocation.arguments.paths) {
    // Another file system may take any user attribute: only the mount has a status.
    char status[256];
    ssize_t size = ::getxattr(path.c_str(), "user.quorvelle.status", status, sizeof status);
    bool ours = size >= 0;
    bool kept = ours && letsGo && keptByAFolderPin(path, std::string_view(status, size));
    if (ours && !kept && ::setxattr(path.c_str(), attribute, value, std::strlen(value), 0) == 0)
      continue;
    std::string why = kept ? "kept by a pinned folder above it; unpin that folder instead"
                      : !ours && errno != ENOENT && errno != EACCES
                          ? "not in a Quorvelle Drive mount"
                          : std::strerror(errno);
    failed.push_back(json::object{{"path", jsonText(path)}, {"error", why}});
    if (!report.json()) report.err() << "qdrive: " << path << ": " << why << "\n";
  }
  if (report.json())
    report.out() << writeJSON(json::object{{"failed", failed}}) << "\n";
  else if (failed.empty())
    report.out() << done << "\n";
  return failed.empty() ? kSucceeded : kHostCallFailed;
}

}  // namespace

int runPin(const Invocation& invocation) {
  return setOnEach(invocation, "user.quorvelle.pinned", "1",
                   "pinned: kept on this machine, fetched in the background");
}

int runUnpin(const Invocation& invocation) {
  return setOnEach(invocation, "user.quorvelle.pinned", "0",
                   "unpinned: may be dropped from this machine when space is needed", true);
}

int runFree(const Invocation& invocation) {
  return setOnEach(invocation, "user.quorvelle.free", "1",
                   "freed: the local copies are gone; the files stay in the drive", true);
}

}  // namespace QuorvelleDrive::Qdrive
