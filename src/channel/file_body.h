// A request body sent from its file, inside the kernel.
#pragma once

#include <cstddef>

namespace QuorvelleDrive {

// Sends the first `size` bytes of `file` (from its start) onto `socket`. Throws Unavailable when
// the socket fails, and when the file does not hold exactly `size` bytes while they are sent:
// that is checked again before the last byte leaves, so the companion sees a body cut short
// rather than a short or over-long one sent as if whole. A failed read of the file throws its
// read error.
void sendFileBody(int socket, int file, std::size_t size);

}  // namespace QuorvelleDrive
