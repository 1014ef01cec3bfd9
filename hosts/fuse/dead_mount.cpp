#include "dead_mount.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace QuorvelleDrive::fuse {
namespace {

// /proc/self/mountinfo writes space, tab, newline and backslash as octal escapes.
std::string unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The file system type ("fuse.quorvelle", …) of the topmost mount at `path`, if any.
std::optional<std::string> mountedTypeAt(const std::filesystem::path& path) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::optional<std::string> type;
  std::string line;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, field;
    fields >> id >> parent >> device >> root >> point;
    while (fields >> field && field != "-") {
    }
    std::string fsType;
    fields >> fsType;
    if (unescaped(point) == path.string()) type = fsType;  // later lines are mounted on top
  }
  return type;
}

}  // namespace

bool prepareMountpoint(const std::filesystem::path& given, std::ostream& out, std::ostream& err) {
  auto mountpoint = std::filesystem::absolute(given).lexically_normal();
  if (!mountpoint.has_filename() && mountpoint != mountpoint.root_path())
    mountpoint = mountpoint.parent_path();  // "mnt/" names "mnt"
  // As /proc/self/mountinfo names it: the folder it is in without symbolic links (the mount
  // itself cannot be resolved while it is dead).
  std::error_code ec;
  auto folder = std::filesystem::canonical(mountpoint.parent_path(), ec);
  if (!ec) mountpoint = folder / mountpoint.filename();
  struct stat st {};
  if (::stat(mountpoint.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    err << "qdrive: " << given.string() << " is not a folder; mount on an empty folder\n";
    return false;
  }
  int why = errno;
  if (why == ENOENT) {
    // As `mkdir -p` would: the folder and any missing parents, with the umask's mode.
    std::filesystem::create_directories(mountpoint, ec);
    if (ec) {
      err << "qdrive: cannot make the folder " << given.string() << ": " << ec.message() << "\n";
      return false;
    }
    out << "qdrive: made the folder " << mountpoint.string() << " to mount on\n";
    return true;
  }
  auto type = mountedTypeAt(mountpoint);
  bool dead = (why == ENOTCONN || why == ECONNABORTED) && type && type->starts_with("fuse");
  if (!dead) {
    err << "qdrive: cannot use " << given.string() << ": " << std::strerror(why) << "\n";
    return false;
  }
  std::string hint = "fusermount3 -u -z " + mountpoint.string();
  if (*type == "fuse.quorvelle" &&
      runToEnd({"fusermount3", "-u", "-z", mountpoint.string()}) == 0 &&
      ::stat(mountpoint.c_str(), &st) == 0) {
    out << "qdrive: cleared a dead mount that an earlier mount left on " << mountpoint.string()
        << " (it ended without unmounting)\n";
    return true;
  }
  err << "qdrive: " << mountpoint.string() << " is a dead FUSE mount (" << std::strerror(why)
      << ") that a program left when it ended without unmounting (a " << *type
      << " file system); unmount it, then mount again: " << hint << "\n";
  return false;
}

}  // namespace QuorvelleDrive::fuse
