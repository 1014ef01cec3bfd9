#include "companion/drive_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace QuorvelleDrive::companion {

void publishIdentity(const std::filesystem::path& container, const json::object& identity) {
  auto file = container / "drive.json";
  auto temporary = container / ("drive.json." + std::to_string(::getpid()));
  std::string text = writeJSON(identity) + "\n";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int err = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) ok = false, err = errno;
  if (ok) return;
  ::unlink(temporary.c_str());
  throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(err));
}

json::object identityFor(const std::string& drive) {
  return {{"drive", drive}, {"pid", static_cast<std::int64_t>(::getpid())}};
}

PublishedIdentity::PublishedIdentity(std::filesystem::path container, const json::object& identity)
    : file_(container / "drive.json") {
  publishIdentity(container, identity);
}

PublishedIdentity::~PublishedIdentity() {
  ::unlink(file_.c_str());
}

}  // namespace QuorvelleDrive::companion
