// Runs another program (fusermount3, systemctl) to its end, found on PATH, with this process's
// environment and standard streams.
#pragma once

#include <string>
#include <vector>

namespace QuorvelleDrive::fuse {

// Its exit status; -1 when it could not be started or did not exit by itself.
int runToEnd(std::vector<std::string> argv);

}  // namespace QuorvelleDrive::fuse
