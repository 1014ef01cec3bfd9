// What `qdrive status` shows of the cache beside the pending changes: its size and bound, what
// is pinned, whether the companion is out of reach, what waits for other drives, and the state
// of the paths asked about. Read from the mount's state folder and the mount itself by another
// process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "drive_state.h"
#include "platform/json.h"

namespace QuorvelleDrive::fuse {

struct CacheReport {
  std::int64_t bytes = 0;
  std::int64_t files = 0;
  std::optional<std::int64_t> limit;
  std::optional<std::int64_t> minFree;
  std::vector<std::string> pinned;           // paths in the mount, "/" for the root
  std::optional<std::int64_t> offlineSince;  // seconds since 1970
  std::vector<DriveStates::Aside> otherDrives;
  struct PathState {
    std::string path;
    std::string state;  // as getxattr shows it, or why it has none
    bool known = false;
  };
  std::vector<PathState> paths;
};

// Throws std::runtime_error when the database cannot be read.
CacheReport readCacheReport(const std::filesystem::path& state,
                            const std::vector<std::string>& paths);
// The status of a path in a mount (its `user.quorvelle.status`); nothing when it has none.
std::optional<std::string> pathStatus(const std::string& path, std::string* why);

void addTo(json::object& out, const CacheReport& report);
void print(std::ostream& out, const CacheReport& report);
// "1.5 GiB", "312 KiB", "17 bytes".
std::string sizeText(std::int64_t bytes);

}  // namespace QuorvelleDrive::fuse
