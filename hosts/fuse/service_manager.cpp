#include "service_manager.h"

#include <systemd/sd-daemon.h>

namespace QuorvelleDrive::fuse {

void tellServiceManager(const std::string& state) {
  // A manager that has gone away (or none) is no reason to stop serving the mount.
  (void)sd_notify(0, state.c_str());
}

}  // namespace QuorvelleDrive::fuse
