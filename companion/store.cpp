#include "companion/store.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>

#include "companion/refusal.h"

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

StagedFile::~StagedFile() {
  if (!committed_ && !path_.empty()) ::unlink(path_.c_str());
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
    }
  }
}

void StagedFile::sync() {
  if (error_ == 0 && ::fsync(fd_.get()) != 0) error_ = errno;
}

void syncDirectory(const fs::path& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

std::optional<DiskState> inspect(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
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

namespace {

void makeOwnDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) refuseErrno(errno);
}

// renameat2 with RENAME_NOREPLACE, falling back to a check where the file system lacks it (the
// catalog's lock keeps our own requests from racing in between).
void renameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) refuseErrno(errno);
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) refuseErrno(EEXIST);
  if (::rename(from.c_str(), to.c_str()) != 0) refuseErrno(errno);
}

}  // namespace

Store::Store(fs::path root, bool prepare) : root_(std::move(root)) {
  if (!prepare) {
    root_ = fs::canonical(root_);
    return;
  }
  fs::create_directories(root_);
  root_ = fs::canonical(root_);
  makeOwnDirectory(hiddenDir());
  makeOwnDirectory(stagingDir());
  std::error_code ignored;
  for (auto& entry : fs::directory_iterator(stagingDir(), ignored)) fs::remove(entry, ignored);
}

StagedFile Store::stage() const {
  std::string pattern = (stagingDir() / "in-XXXXXX").string();
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd.valid()) refuseErrno(errno);
  ::fchmod(fd.get(), 0644);
  return StagedFile(std::move(fd), pattern);
}

void Store::commit(StagedFile& staged, const fs::path& target, bool replace) const {
  if (staged.error() != 0) refuseErrno(staged.error());
  if (replace) {
    struct stat old;
    if (::stat(target.c_str(), &old) == 0) ::fchmod(staged.fd(), old.st_mode & 07777);
    if (::rename(staged.path().c_str(), target.c_str()) != 0) refuseErrno(errno);
  } else {
    renameNoReplace(staged.path(), target);
  }
  staged.markCommitted();
  syncDirectory(target.parent_path());
}

void Store::makeDirectory(const fs::path& target) const {
  if (::mkdir(target.c_str(), 0755) != 0) refuseErrno(errno);
  syncDirectory(target.parent_path());
}

void Store::move(const fs::path& from, const fs::path& to) const {
  renameNoReplace(from, to);
  syncDirectory(to.parent_path());
  if (from.parent_path() != to.parent_path()) syncDirectory(from.parent_path());
}

void Store::remove(const fs::path& target, bool dir) const {
  if ((dir ? ::rmdir(target.c_str()) : ::unlink(target.c_str())) != 0)
    refuseErrno(errno == EEXIST ? ENOTEMPTY : errno);
  syncDirectory(target.parent_path());
}

std::string readAll(int fd) {
  std::string bytes;
  // Sized from the file first: growing by appends would copy a large file several times over.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) refuseErrno(errno);
    if (n == 0) return bytes;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace QuorvelleDrive::companion
