// One connection's exchange: request frame, announced body, reply frame and body. Anything
// malformed or cut short ends the connection without touching the store.
#pragma once

#include "companion/handler.h"

namespace QuorvelleDrive::companion {

void serveExchange(int fd, Handler& handler, const Store& store);

}  // namespace QuorvelleDrive::companion
