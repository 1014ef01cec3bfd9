#include "qdrive/cache_commands.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "qdrive/commands.h"
#include "qdrive/report.h"

namespace QuorvelleDrive::Qdrive {
namespace {

// Sets `attribute` to `value` on every path; says which failed and why.
int setOnEach(const Invocation& invocation, const char* attribute, const char* value,
              const char* done) {
  auto& report = invocation.report;
  json::array failed;
  for (const auto& path : invocation.arguments.paths) {
    // Another file system may take any user attribute: only the mount has a status.
    char status[256];
    bool ours = ::getxattr(path.c_str(), "user.quorvelle.status", status, sizeof status) >= 0;
    if (ours && ::setxattr(path.c_str(), attribute, value, std::strlen(value), 0) == 0) continue;
    std::string why = !ours && errno != ENOENT && errno != EACCES ? "not in a Quorvelle Drive mount"
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
                   "unpinned: may be dropped from this machine when space is needed");
}

int runFree(const Invocation& invocation) {
  return setOnEach(invocation, "user.quorvelle.free", "1",
                   "freed: the local copies are gone; the files stay in the drive");
}

}  // namespace QuorvelleDrive::Qdrive
