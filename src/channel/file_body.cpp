#include "channel/file_body.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "channel/unavailable.h"
#include "platform/files.h"
#include "platform/kernel_copy.h"

namespace QuorvelleDrive {
namespace {

constexpr std::size_t kSendStep = 1 << 30;
constexpr std::size_t kCopyStep = 256 * 1024;

// Why sending from the file stopped: the file's own read error when it has one, else the socket.
[[noreturn]] void throwSendFailure(int file, off_t offset) {
  char probe;
  if (::pread(file, &probe, 1, offset) < 0) throw fileReadError(errno);
  throw Unavailable();
}

// For files sendfile cannot read from.
void copyRange(int socket, int file, off_t& offset, std::size_t end) {
  std::vector<char> chunk(kCopyStep);
  while (static_cast<std::size_t>(offset) < end) {
    std::size_t want = std::min(chunk.size(), end - static_cast<std::size_t>(offset));
    ssize_t n = ::pread(file, chunk.data(), want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fileReadError(errno);
    if (n == 0) throw Unavailable();  // the file ended early
    for (ssize_t sent = 0; sent < n;) {
      ssize_t m =
          ::send(socket, chunk.data() + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
      if (m < 0 && errno == EINTR) continue;
      if (m <= 0) throw Unavailable();
      sent += m;
    }
    offset += n;
  }
}

void sendRange(int socket, int file, off_t& offset, std::size_t end) {
  while (static_cast<std::size_t>(offset) < end) {
    std::size_t want = std::min(kSendStep, end - static_cast<std::size_t>(offset));
    ssize_t n = ::sendfile(socket, file, &offset, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return copyRange(socket, file, offset, end);
    if (n < 0) throwSendFailure(file, offset);
    if (n == 0) throw Unavailable();  // the file ended early
  }
}

}  // namespace

void sendFileBody(int socket, int file, std::size_t size) {
  if (size == 0) return;
  PipeSignalHeld held;
  off_t offset = 0;
  sendRange(socket, file, offset, size - 1);
  struct stat info {};
  if (::fstat(file, &info) != 0) throw fileReadError(errno);
  if (static_cast<std::size_t>(info.st_size) != size) throw Unavailable();
  sendRange(socket, file, offset, size);
}

}  // namespace QuorvelleDrive
