#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/error.h"

namespace QuorvelleDrive {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports close's own failure (a delayed write error on some file systems).
  int release() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

Error readError(int err) {
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

Error writeError(int err) {
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
        throw readError(errno);
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
      throw readError(errno);
    }
    filled += static_cast<std::size_t>(n);
  }
  buffer->shrink(filled);
  return std::move(*buffer);
}

}  // namespace

Buffer readFile(const std::filesystem::path& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw readError(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw readError(errno);
  if (S_ISDIR(info.st_mode)) throw cocoaError(CocoaError::fileReadUnknown);
  auto size = static_cast<std::uint64_t>(info.st_size < 0 ? 0 : info.st_size);
  if (size > std::numeric_limits<std::size_t>::max() / 2)
    throw cocoaError(CocoaError::fileReadTooLarge);
  return readAll(fd.get(), static_cast<std::size_t>(size));
}

void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  // Owner-only: what gets written here is the user's data fetched from the companion.
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw writeError(errno);
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw writeError(n < 0 ? errno : ENOSPC);
    written += static_cast<std::size_t>(n);
  }
  if (fd.release() != 0) throw writeError(errno);
}

}  // namespace QuorvelleDrive
