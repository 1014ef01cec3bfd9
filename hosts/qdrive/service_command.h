// `qdrive service install MOUNTPOINT [mount options]` and `qdrive service remove [MOUNTPOINT]`:
// the mount as a systemd user service, started now and at every login, stopped (unmounted once
// what is pending has been sent) at logout.
#pragma once

#include "qdrive/commands.h"

namespace QuorvelleDrive::Qdrive {

void declareService(CLI::App& command, Arguments& arguments);
int runService(const Invocation& invocation);

}  // namespace QuorvelleDrive::Qdrive
