// Tells systemd how the mount stands when it runs as a Type=notify service (`qdrive service`,
// the packaged quorvelle-drive@.service): "READY=1" once the folder is mounted, so that
// `systemctl --user start` returns only then and units ordered after it find the drive there.
// Does nothing when no service manager started the process.
#pragma once

#include <string>

namespace QuorvelleDrive::fuse {

void tellServiceManager(const std::string& state);

}  // namespace QuorvelleDrive::fuse
