#include "state_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "boundaries/file_provider_manager.h"

namespace QuorvelleDrive::fuse {
namespace {

void makeOwnerOnly(const std::filesystem::path& dir) {
  std::filesystem::path partial;
  for (const auto& part : dir) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot create " + partial.string() + ": " + std::strerror(errno));
  }
  if (::chmod(dir.c_str(), 0700) != 0)
    throw std::runtime_error("cannot use " + dir.string() + ": " + std::strerror(errno));
}

std::string holderOf(int fd) {
  char text[4096];
  ssize_t n = ::pread(fd, text, sizeof text, 0);
  std::string mountpoint(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!mountpoint.empty() && mountpoint.back() == '\n') mountpoint.pop_back();
  return mountpoint.empty() ? "a mountpoint not yet recorded" : mountpoint;
}

// Whether /proc/locks lists a flock on the file `st` describes ("1: FLOCK ADVISORY WRITE
// PID MAJOR:MINOR:INODE 0 EOF", the device numbers in hexadecimal).
bool flockedByAnyone(const struct stat& st) {
  std::ifstream locks("/proc/locks");
  char device[64];
  std::snprintf(device, sizeof device, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    if (kind == "->") fields >> kind;  // a waiter, listed under the holder
    fields >> mode >> access >> pid >> file;
    if (kind == "FLOCK" && file == device) return true;
  }
  return false;
}

}  // namespace

std::optional<std::filesystem::path> StateDirectory::liveMount(const std::filesystem::path& path) {
  int fd = ::open((path / "lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  bool held = ::fstat(fd, &st) == 0 && flockedByAnyone(st);
  std::string holder = held ? holderOf(fd) : "";
  ::close(fd);
  if (!held) return std::nullopt;
  return std::filesystem::path(holder);
}

std::filesystem::path StateDirectory::pathFor(const std::string& group, const std::string& domain) {
  return DomainRegistry::shared().hostStateRoot() / stateComponentFor(domain) / "mount" /
         stateComponentFor(group);
}

StateDirectory StateDirectory::acquire(const std::filesystem::path& path,
                                       const std::filesystem::path& mountpoint) {
  makeOwnerOnly(path);
  int fd = ::open((path / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    throw std::runtime_error("cannot open " + (path / "lock").string() + ": " +
                             std::strerror(errno));
  // flock, not fcntl: the lock belongs to the open file, so it stays held when the mount
  // daemonises (forks) and goes when the last process holding it ends, however it ends.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    std::string holder = holderOf(fd);
    ::close(fd);
    if (err == EWOULDBLOCK)
      throw std::runtime_error("this domain is already mounted on " + holder + " (its state is " +
                               path.string() + "); unmount it first");
    throw std::runtime_error("cannot lock " + (path / "lock").string() + ": " + std::strerror(err));
  }
  StateDirectory state(path, fd);
  std::string text = std::filesystem::absolute(mountpoint).lexically_normal().string() + "\n";
  // Without the name a refusal says less, but the lock holds all the same.
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text.data(), text.size(), 0);
  state.emptyScratch();
  std::error_code ec;
  std::filesystem::remove_all(path / "scratch", ec);  // earlier versions' local copies
  for (const auto& dir : {state.outbox(), state.fetched()}) makeOwnerOnly(dir);
  return state;
}

StateDirectory::StateDirectory(StateDirectory&& other) noexcept
    : path_(std::move(other.path_)), lock_(other.lock_) {
  other.lock_ = -1;
}

StateDirectory::~StateDirectory() {
  if (lock_ < 0) return;
  emptyScratch();
  ::close(lock_);
}

void StateDirectory::emptyScratch() const {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(fetched(), ec))
    std::filesystem::remove_all(entry.path(), ec);
}

}  // namespace QuorvelleDrive::fuse
