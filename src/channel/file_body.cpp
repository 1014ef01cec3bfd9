#include "channel/file_body.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "channel/unavailable.h"
#include "platform/file_descriptor.h"
#include "platform/files.h"

namespace QuorvelleDrive {
namespace {

constexpr std::size_t kSendStep = 1 << 30;
constexpr std::size_t kCopyStep = 256 * 1024;
// A pipe this large moves a megabyte per pair of splice calls.
constexpr int kPipeBytes = 1 << 20;

// sendfile has no MSG_NOSIGNAL: while it runs, SIGPIPE is held back for this thread and one it
// raised is taken off again, so a companion that left cannot end the host's process.
class PipeSignalHeld {
 public:
  PipeSignalHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
  }
  ~PipeSignalHeld() {
    sigset_t pending;
    if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      timespec now{0, 0};
      ::sigtimedwait(&pipe_, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  PipeSignalHeld(const PipeSignalHeld&) = delete;
  PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

 private:
  sigset_t pipe_;
  sigset_t before_;
};

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

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    out_ = FileDescriptor(fds[0]);
    in_ = FileDescriptor(fds[1]);
    // Best effort: past the user's pipe quota the default size still works.
    int size = ::fcntl(in_.get(), F_SETPIPE_SZ, kPipeBytes);
    if (size <= 0) size = ::fcntl(in_.get(), F_GETPIPE_SZ);
    capacity_ = size > 0 ? static_cast<std::size_t>(size) : 4096;
  }
  bool valid() const { return in_.valid(); }
  int in() const { return in_.get(); }
  int out() const { return out_.get(); }
  std::size_t capacity() const { return capacity_; }

 private:
  FileDescriptor out_;
  FileDescriptor in_;
  std::size_t capacity_ = 0;
};

// Writes `count` bytes at `offset` unless an earlier write failed; keeps the first errno.
void writeAt(int file, const char* data, std::size_t count, off_t& offset, int& error) {
  while (error == 0 && count > 0) {
    ssize_t n = ::pwrite(file, data, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      return;
    }
    data += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
}

// The rest of the body through this process, for sockets or files that splice cannot serve (or
// into nothing, once `error` is set).
int copyIntoFile(int socket, int file, std::size_t left, off_t offset, int error) {
  std::vector<char> chunk(std::min(kCopyStep, std::max<std::size_t>(left, 1)));
  while (left > 0) {
    ssize_t n = ::read(socket, chunk.data(), std::min(chunk.size(), left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Unavailable();
    writeAt(file, chunk.data(), static_cast<std::size_t>(n), offset, error);
    left -= static_cast<std::size_t>(n);
  }
  return error;
}

// Empties `count` bytes of the pipe into the file, or drops them once a write has failed.
void drainPipe(const Pipe& pipe, std::size_t count, int file, off_t& offset, int& error,
               bool& spliceToFile) {
  std::vector<char> chunk;
  while (count > 0) {
    if (error == 0 && spliceToFile) {
      ssize_t n = ::splice(pipe.out(), nullptr, file, &offset, count, SPLICE_F_MOVE);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        count -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINVAL) {
        spliceToFile = false;
        continue;
      }
      error = n < 0 ? errno : ENOSPC;
      continue;
    }
    if (chunk.empty()) chunk.resize(std::min(kCopyStep, count));
    ssize_t n = ::read(pipe.out(), chunk.data(), std::min(chunk.size(), count));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Unavailable();
    writeAt(file, chunk.data(), static_cast<std::size_t>(n), offset, error);
    count -= static_cast<std::size_t>(n);
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

int receiveIntoFile(int socket, int file, std::size_t size) {
  Pipe pipe;
  off_t offset = 0;
  int error = 0;
  bool spliceToFile = true;
  for (std::size_t left = size; left > 0;) {
    ssize_t n = pipe.valid() ? ::splice(socket, nullptr, pipe.in(), nullptr,
                                        std::min(left, pipe.capacity()), SPLICE_F_MOVE)
                             : (errno = EINVAL, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL) return copyIntoFile(socket, file, left, offset, error);
    if (n <= 0) throw Unavailable();
    drainPipe(pipe, static_cast<std::size_t>(n), file, offset, error, spliceToFile);
    left -= static_cast<std::size_t>(n);
  }
  return error;
}

void skipBody(int socket, std::size_t size) {
  copyIntoFile(socket, -1, size, 0, EBADF);
}

}  // namespace QuorvelleDrive
