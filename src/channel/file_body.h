// Bodies that live in files, moved between the companion's socket and the file inside the
// kernel (sendfile, splice), never through this process's memory.
#pragma once

#include <cstddef>

namespace QuorvelleDrive {

// Sends the first `size` bytes of `file` (from its start) onto `socket`. Throws Unavailable when
// the socket fails, and when the file does not hold exactly `size` bytes while they are sent:
// that is checked again before the last byte leaves, so the companion sees a body cut short
// rather than a short or over-long one sent as if whole. A failed read of the file throws its
// read error. SIGPIPE is held back while it runs.
void sendFileBody(int socket, int file, std::size_t size);

// Receives `size` bytes from `socket` into `file` (written from its start). Throws Unavailable
// when the socket fails or ends first. Returns the errno of the first failed write, or 0; after
// one the rest of the body is still read (and dropped), so that a reply cut short is told apart
// from a full disk.
int receiveIntoFile(int socket, int file, std::size_t size);
// Reads `size` bytes from `socket` and drops them; throws Unavailable when it ends first.
void skipBody(int socket, std::size_t size);

}  // namespace QuorvelleDrive
