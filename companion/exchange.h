// One connection's exchange: request frame, announced body, reply frame and body. Anything
// malformed or cut short ends the connection without touching the store.
#pragma once

#include <string>

#include "companion/handler.h"

namespace QuorvelleDrive::companion {

// An exchange whose request frame has arrived: `request` is its JSON text, and the body it
// announces (if any) is still to be read from `fd`.
void serveExchange(int fd, const std::string& request, Handler& handler, const Backend& backend);
// The whole exchange, request frame included (one longer than kMaxRequestJSON is refused).
void serveConnection(int fd, Handler& handler, const Backend& backend);

// The reply to a request frame longer than kMaxRequestJSON.
std::string overLongReply();

}  // namespace QuorvelleDrive::companion
