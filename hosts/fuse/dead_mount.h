// A mount killed without unmounting (SIGKILL, the OOM killer) leaves its FUSE mount behind: the
// mountpoint answers "Transport endpoint is not connected" until someone unmounts it. Before
// mounting, the next mount clears one of ours (its state lock, held by then, shows that no live
// mount of this domain uses it), and says exactly what to run for anything else in the way.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace QuorvelleDrive::fuse {

// True when `mountpoint` can be mounted on (a dead mount of ours there has been cleared, or a
// missing folder made with its parents, and said so on `out`); false with a message for people
// on `err` that says what to run.
bool prepareMountpoint(const std::filesystem::path& mountpoint, std::ostream& out,
                       std::ostream& err);

}  // namespace QuorvelleDrive::fuse
