#include "companion/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "companion/refusal.h"
#include "platform/json.h"
#include "platform/kernel_copy.h"
#include "platform/uuid.h"

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void makeOwnDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) refuseErrno(errno);
}

UniqueFd openOwnFolder(const fs::path& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throw std::runtime_error("cannot open " + dir.string());
  return fd;
}

// renameat2 with RENAME_NOREPLACE, falling back to a check where the file system lacks it (the
// catalog's lock keeps our own requests from racing in between).
void renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
  if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) refuseErrno(errno);
  if (taken(toFolder, to)) refuseErrno(EEXIST);
  if (::renameat(fromFolder, from.c_str(), toFolder, to.c_str()) != 0) refuseErrno(errno);
}

}  // namespace

StagedFile::~StagedFile() {
  if (!committed_ && !name_.empty()) ::unlinkat(stagingFolder_, name_.c_str(), 0);
}

void StagedFile::append(const char* data, std::size_t size) {
  while (error_ == 0 && size > 0) {
    ssize_t n = ::write(fd_.get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
    } else {
      data += n;
      size -= static_cast<std::size_t>(n);
      written_ += n;
    }
  }
}

bool StagedFile::receive(int socket, std::uint64_t size) {
  auto received = receiveIntoFile(socket, fd_.get(), static_cast<std::size_t>(size), written_);
  if (error_ == 0) error_ = received.writeError;
  written_ += static_cast<off_t>(size);
  return received.whole;
}

void StagedFile::sync() {
  if (error_ == 0 && ::fsync(fd_.get()) != 0) error_ = errno;
}

std::optional<DiskState> inspect(int folder, const std::string& name) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::nullopt;
  DiskState disk;
  disk.dir = S_ISDIR(st.st_mode);
  disk.inode = static_cast<std::int64_t>(st.st_ino);
  disk.mtime = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
  if (!disk.dir) {
    disk.size = static_cast<std::uint64_t>(st.st_size);
    disk.stamp = std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
                 std::to_string(st.st_mtim.tv_nsec);
  }
  return disk;
}

bool taken(int folder, const std::string& name) {
  struct stat st;
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::vector<std::string> entryNames(int folder) {
  std::vector<std::string> names;
  // fdopendir takes the descriptor over, so it gets one of its own.
  int own = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return names;
  std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(own), ::closedir);
  if (!stream) {
    ::close(own);
    return names;
  }
  while (dirent* entry = ::readdir(stream.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && isValidUTF8(name)) names.push_back(std::move(name));
  }
  return names;
}

UniqueFd openSubfolder(int folder, const std::string& name) {
  return UniqueFd(::openat(folder, name.c_str(), kFolderFlags));
}

Store::Store(fs::path root, bool prepare) : root_(std::move(root)) {
  if (prepare) fs::create_directories(root_);
  root_ = fs::canonical(root_);
  rootFolder_ = openOwnFolder(root_);
  if (prepare) {
    makeOwnDirectory(hiddenDir());
    makeOwnDirectory(stagingDir());
  }
  std::error_code ignored;
  if (!fs::is_directory(stagingDir(), ignored)) return;
  stagingFolder_ = openOwnFolder(stagingDir());
  if (!prepare) return;
  for (auto& entry : fs::directory_iterator(stagingDir(), ignored)) fs::remove(entry, ignored);
}

UniqueFd Store::openFolder(const std::vector<std::string>& names) const {
  UniqueFd at(::openat(rootFolder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at.valid()) refuseErrno(errno);
  for (const auto& name : names) {
    at = openSubfolder(at.get(), name);
    if (!at.valid()) refuseErrno(errno == ELOOP || errno == ENOTDIR ? ENOENT : errno);
  }
  return at;
}

UniqueFd Store::openFile(const Place& place) const {
  UniqueFd fd(::openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) refuseErrno(errno == ELOOP ? ENOENT : errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) refuseErrno(errno);
  if (S_ISDIR(st.st_mode)) refuseErrno(EISDIR);
  if (!S_ISREG(st.st_mode)) refuseErrno(ENOENT);
  return fd;
}

// Opened with mode 0666 like any program's new file, so the kernel applies the umask.
StagedFile Store::stage() const {
  for (;;) {
    std::string name = "in-" + randomUUIDString();
    UniqueFd fd(::openat(stagingFolder_.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.valid()) return StagedFile(std::move(fd), stagingFolder_.get(), std::move(name));
    if (errno != EEXIST) refuseErrno(errno);
  }
}

void Store::commit(StagedFile& staged, const Place& target, bool replace) const {
  if (staged.error() != 0) refuseErrno(staged.error());
  int folder = target.folder.get();
  if (replace) {
    struct stat old;
    if (::fstatat(folder, target.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0)
      ::fchmod(staged.fd(), old.st_mode & 07777);
    if (::renameat(staged.stagingFolder(), staged.name().c_str(), folder, target.name.c_str()) != 0)
      refuseErrno(errno);
  } else {
    renameNoReplace(staged.stagingFolder(), staged.name(), folder, target.name);
  }
  staged.markCommitted();
}

void Store::makeDirectory(const Place& target) const {
  if (::mkdirat(target.folder.get(), target.name.c_str(), 0755) != 0) refuseErrno(errno);
}

void Store::move(const Place& from, const Place& to) const {
  renameNoReplace(from.folder.get(), from.name, to.folder.get(), to.name);
}

void Store::remove(const Place& target, bool dir) const {
  if (::unlinkat(target.folder.get(), target.name.c_str(), dir ? AT_REMOVEDIR : 0) != 0)
    refuseErrno(errno == EEXIST ? ENOTEMPTY : errno);
}

// A read lease is refused (EAGAIN) exactly while some descriptor has the file open for writing.
// It is dropped at once: a program that opens the file in that instant would wait for it, and
// the break would be signalled to us, with SIGURG, whose default is to be ignored (SIGIO's would
// end the process).
bool Store::openForWriting(const Place& place) const {
  UniqueFd fd(::openat(place.folder.get(), place.name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() || ::fcntl(fd.get(), F_SETSIG, SIGURG) != 0) return false;
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) != 0) return errno == EAGAIN;
  ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  return false;
}

}  // namespace QuorvelleDrive::companion
