#include "platform/kernel_copy.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/file_descriptor.h"

namespace QuorvelleDrive {
namespace {

constexpr std::size_t kCopyStep = 256 * 1024;
// A pipe this large moves a megabyte per pair of splice calls.
constexpr int kPipeBytes = 1 << 20;

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
bool copyIntoFile(int socket, int file, std::size_t left, off_t offset, int& error) {
  std::vector<char> chunk(std::min(kCopyStep, std::max<std::size_t>(left, 1)));
  while (left > 0) {
    ssize_t n = ::read(socket, chunk.data(), std::min(chunk.size(), left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    writeAt(file, chunk.data(), static_cast<std::size_t>(n), offset, error);
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Empties `count` bytes of the pipe into the file, or drops them once a write has failed.
bool drainPipe(const Pipe& pipe, std::size_t count, int file, off_t& offset, int& error,
               bool& spliceToFile) {
  std::vector<char> chunk;
  while (count > 0) {
    if (error == 0 && spliceToFile) {
      ssize_t n = ::splice(pipe.out(), nullptr, file, &offset, count, SPLICE_F_MOVE);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) count -= static_cast<std::size_t>(n);
      if (n < 0 && errno == EINVAL)
        spliceToFile = false;  // the file system cannot take splice
      else if (n <= 0)
        error = n < 0 ? errno : ENOSPC;
      continue;
    }
    if (chunk.empty()) chunk.resize(std::min(kCopyStep, count));
    ssize_t n = ::read(pipe.out(), chunk.data(), std::min(chunk.size(), count));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    writeAt(file, chunk.data(), static_cast<std::size_t>(n), offset, error);
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PipeSignalHeld::PipeSignalHeld() {
  sigemptyset(&pipe_);
  sigaddset(&pipe_, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
}

PipeSignalHeld::~PipeSignalHeld() {
  sigset_t pending;
  if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    timespec now{0, 0};
    ::sigtimedwait(&pipe_, nullptr, &now);
  }
  ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

Received receiveIntoFile(int socket, int file, std::size_t size, off_t offset) {
  Received outcome;
  Pipe pipe;
  bool spliceToFile = true;
  for (std::size_t left = size; left > 0;) {
    ssize_t n = pipe.valid() ? ::splice(socket, nullptr, pipe.in(), nullptr,
                                        std::min(left, pipe.capacity()), SPLICE_F_MOVE)
                             : (errno = EINVAL, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL) {  // a socket that cannot splice
      outcome.whole = copyIntoFile(socket, file, left, offset, outcome.writeError);
      return outcome;
    }
    if (n <= 0) return outcome;
    if (!drainPipe(pipe, static_cast<std::size_t>(n), file, offset, outcome.writeError,
                   spliceToFile))
      return outcome;
    left -= static_cast<std::size_t>(n);
  }
  outcome.whole = true;
  return outcome;
}

bool skipBody(int socket, std::size_t size) {
  int dropping = EBADF;
  return copyIntoFile(socket, -1, size, 0, dropping);
}

}  // namespace QuorvelleDrive
