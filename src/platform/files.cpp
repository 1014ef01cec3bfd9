#include "platform/files.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/uuid.h"

namespace QuorvelleDrive {

Error fileReadError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return cocoaError(CocoaError::fileReadNoSuchFile);
    case EACCES:
    case EPERM:
      return cocoaError(CocoaError::fileReadNoPermission);
    case EFBIG:
    case ENOMEM:
    case EOVERFLOW:
      return cocoaError(CocoaError::fileReadTooLarge);
    default:
      return cocoaError(CocoaError::fileReadUnknown);
  }
}

Error fileWriteError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return cocoaError(CocoaError::fileNoSuchFile);
    case EACCES:
    case EPERM:
      return cocoaError(CocoaError::fileWriteNoPermission);
    case ENOSPC:
    case EDQUOT:
      return cocoaError(CocoaError::fileWriteOutOfSpace);
    case EROFS:
      return cocoaError(CocoaError::fileWriteVolumeReadOnly);
    case ENAMETOOLONG:
      return cocoaError(CocoaError::fileWriteInvalidFileName);
    default:
      return cocoaError(CocoaError::fileWriteUnknown);
  }
}

namespace {

// Reads to end of file; a file that grows or shrinks while being read is read as it ends up.
Buffer readAll(int fd, std::size_t expected) {
  auto buffer = Buffer::zeroed(expected);
  if (!buffer) throw cocoaError(CocoaError::fileReadTooLarge);
  std::size_t filled = 0;
  while (true) {
    if (filled == buffer->size()) {
      // Either done or the file grew: probe for more with a larger buffer.
      char probe;
      ssize_t n = ::read(fd, &probe, 1);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        throw fileReadError(errno);
      }
      auto larger = Buffer::zeroed(buffer->size() * 2 + 1);
      if (!larger) throw cocoaError(CocoaError::fileReadTooLarge);
      std::copy(buffer->data(), buffer->data() + filled, larger->data());
      larger->data()[filled++] = static_cast<std::byte>(probe);
      buffer = std::move(larger);
      continue;
    }
    ssize_t n = ::read(fd, buffer->data() + filled, buffer->size() - filled);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fileReadError(errno);
    }
    filled += static_cast<std::size_t>(n);
  }
  buffer->shrink(filled);
  return std::move(*buffer);
}

}  // namespace

Buffer readFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw fileReadError(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw fileReadError(errno);
  if (S_ISDIR(info.st_mode)) throw cocoaError(CocoaError::fileReadUnknown);
  auto size = static_cast<std::uint64_t>(info.st_size < 0 ? 0 : info.st_size);
  if (size > std::numeric_limits<std::size_t>::max() / 2)
    throw cocoaError(CocoaError::fileReadTooLarge);
  if (S_ISREG(info.st_mode) && size >= kFileBackedFrom)
    return Buffer::backedBy(std::move(fd), static_cast<std::size_t>(size));
  return readAll(fd.get(), static_cast<std::size_t>(size));
}

namespace {

// Owner-only: what gets written here is the user's data fetched from the companion.
FileDescriptor createForWriting(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw fileWriteError(errno);
  return fd;
}

void closeWritten(FileDescriptor& fd) {
  if (fd.close() != 0) throw fileWriteError(errno);
}

// The file's first `size` bytes into `to` inside the kernel; a file that ends early gives what
// it has.
void copyFileInto(int to, int from, std::size_t size) {
  for (off_t offset = 0; static_cast<std::size_t>(offset) < size;) {
    ssize_t n = ::sendfile(to, from, &offset, size - static_cast<std::size_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fileWriteError(errno);
    if (n == 0) break;
  }
}

// An unnamed file gets its name through its /proc link, which needs no privilege (a link by
// descriptor, AT_EMPTY_PATH, needs CAP_DAC_READ_SEARCH).
bool linkInPlace(int fd, const std::filesystem::path& path) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ||
         ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  FileDescriptor fd = createForWriting(path);
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw fileWriteError(n < 0 ? errno : ENOSPC);
    written += static_cast<std::size_t>(n);
  }
  closeWritten(fd);
}

void placeContents(const std::filesystem::path& path, Buffer buffer) {
  if (!buffer.fileBacked()) return writeFile(path, buffer.bytes());
  struct stat info {};
  bool exact = ::fstat(buffer.fileDescriptor(), &info) == 0 && info.st_nlink == 0 &&
               static_cast<std::uint64_t>(info.st_size) == buffer.size();
  if (exact && linkInPlace(buffer.fileDescriptor(), path)) return;
  FileDescriptor fd = createForWriting(path);
  copyFileInto(fd.get(), buffer.fileDescriptor(), buffer.size());
  closeWritten(fd);
}

FileDescriptor createUnnamedFile(const std::filesystem::path& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.valid()) return fd;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) throw fileWriteError(errno);
  std::string name = randomUUIDString();
  name.insert(0, 1, '.');
  auto named = folder / name;
  fd = FileDescriptor(::open(named.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) throw fileWriteError(errno);
  ::unlink(named.c_str());
  return fd;
}

}  // namespace QuorvelleDrive
