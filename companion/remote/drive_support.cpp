#include "companion/remote/drive_support.h"

#include <unistd.h>

#include <cerrno>

#include "companion/refusal.h"
#include "companion/remote/server_abilities.h"
#include "platform/json.h"

namespace QuorvelleDrive::companion::remote {

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::string parentPath(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool isDotName(const std::string& name) {
  return !name.empty() && name.front() == '.';
}

std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool acceptable(const std::string& path) {
  std::string name = baseName(path);
  // Apache's mod_dav_fs receives every PUT into a ".davfs.tmp…" file beside the target, which
  // lists while an upload (anyone's) is under way, or after one was cut off.
  bool serversOwn = name.rfind(".davfs.tmp", 0) == 0;
  return isValidName(name) && isValidUTF8(name) && !isScratchName(name) && !serversOwn;
}

bool sameContents(const Node& node, const Resource& resource) {
  if (!node.etag.empty() && !resource.etag.empty())
    return strongPart(node.etag) == strongPart(resource.etag);
  return node.size == resource.size && node.mtime == resource.mtime;
}

std::string etagToKeep(const Node& node, const Resource& resource) {
  if (!resource.etag.empty() || node.dir) return resource.etag;
  return node.size == resource.size && node.mtime == resource.mtime ? node.etag : "";
}

std::uint64_t stagedSize(StagedFile& contents) {
  if (contents.error() != 0) refuseErrno(contents.error());
  off_t end = ::lseek(contents.fd(), 0, SEEK_END);
  if (end < 0) refuseErrno(errno);
  return static_cast<std::uint64_t>(end);
}

}  // namespace QuorvelleDrive::companion::remote
