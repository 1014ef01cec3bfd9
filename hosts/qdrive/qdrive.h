// The qdrive program: parses the command line, sets up one extension for the domain and makes
// the command's host call.
#pragma once

#include <ostream>

namespace QuorvelleDrive::Qdrive {

// The process's exit status: 0 success, 1 the host call reported an error, 2 usage error,
// 3 time-out. Returns at once on a time-out, leaving works blocked on the socket running; the
// caller should end the process without waiting for them.
int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace QuorvelleDrive::Qdrive
