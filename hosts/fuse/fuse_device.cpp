#include "fuse_device.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_descriptor.h"

namespace QuorvelleDrive::fuse {
namespace {

std::string ownerOf(const struct stat& st) {
  passwd* user = ::getpwuid(st.st_uid);
  group* team = ::getgrgid(st.st_gid);
  return (user ? std::string(user->pw_name) : std::to_string(st.st_uid)) + ":" +
         (team ? std::string(team->gr_name) : std::to_string(st.st_gid));
}

}  // namespace

std::string fuseDeviceProblem(const std::filesystem::path& device) {
  FileDescriptor fd(::open(device.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.valid()) return {};
  int why = errno;
  std::string name = device.string();
  if (why == ENOENT || why == ENODEV || why == ENXIO)
    return name + " is missing, so nothing can be mounted with FUSE: load the module (sudo " +
           "modprobe fuse), or in a container start it with the device (--device " + name + ")";
  if (why != EACCES && why != EPERM) return "cannot open " + name + ": " + std::strerror(why);
  struct stat st {};
  std::string mode;
  if (::stat(device.c_str(), &st) == 0) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    mode = " (mode " + std::string(octal) + ", owner " + ownerOf(st) + ")";
  }
  // udev's own rule makes it 0666; a machine or container without udev leaves it 0600.
  return "this user may not open " + name + mode +
         ", which FUSE needs; a system without udev leaves it so. Let every user open it, as " +
         "udev does: sudo chmod 0666 " + name;
}

}  // namespace QuorvelleDrive::fuse
