// The remote mode's own state directory: where its index lives, private (0700) and held by one
// companion at a time.
#pragma once

#include <filesystem>
#include <string>

#include "companion/fd.h"

namespace QuorvelleDrive::companion::remote {

// ${XDG_STATE_HOME:-~/.local/state}/quorvelle/companion/<host_port_path-hash of the URL>.
std::filesystem::path defaultStateDirectory(const std::string& url);

// Makes `dir` (0700) and takes its lock; throws std::runtime_error when another live companion
// holds it.
UniqueFd holdStateDirectory(const std::filesystem::path& dir);

}  // namespace QuorvelleDrive::companion::remote
