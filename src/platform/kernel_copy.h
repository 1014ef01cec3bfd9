// Bytes moved between a socket and a file inside the kernel (sendfile, splice), never through
// this process's memory. Shared by the extension's channel and the companion.
#pragma once

#include <signal.h>

#include <cstddef>

namespace QuorvelleDrive {

// sendfile and splice have no MSG_NOSIGNAL: while one lives, SIGPIPE is held back for this thread
// and one raised meanwhile is taken off again, so a peer that left cannot end the process.
class PipeSignalHeld {
 public:
  PipeSignalHeld();
  ~PipeSignalHeld();
  PipeSignalHeld(const PipeSignalHeld&) = delete;
  PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

 private:
  sigset_t pipe_;
  sigset_t before_;
};

// How receiving into a file went.
struct Received {
  bool whole = false;  // all the bytes came; false when the socket failed or ended first
  int writeError = 0;  // errno of the first failed write of the file (0: none)
};

// Receives `size` bytes from `socket` into `file`, written from `offset` on. After a failed
// write the rest is still read (and dropped), so that a body cut short is told apart from a
// full disk; once the socket fails nothing more is read. Safe from several threads at once.
Received receiveIntoFile(int socket, int file, std::size_t size, off_t offset = 0);
// Reads `size` bytes from `socket` and drops them; false when it ends first.
bool skipBody(int socket, std::size_t size);

}  // namespace QuorvelleDrive
