// Whether this user can open the FUSE device, which every mount needs; asked first, so that a
// machine where it cannot be opened hears what to do before anything starts.
#pragma once

#include <filesystem>
#include <string>

namespace QuorvelleDrive::fuse {

// What stands in the way of opening `device` for reading and writing, with what to run about
// it; empty when it opens.
std::string fuseDeviceProblem(const std::filesystem::path& device = "/dev/fuse");

}  // namespace QuorvelleDrive::fuse
