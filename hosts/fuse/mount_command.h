// `qdrive mount` and `qdrive status`: configure the platform as a host does, make sure a
// companion answers (starting the bundled one when none does), and serve the mount.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelleDrive::fuse {

struct MountSettings {
  std::filesystem::path mountpoint;
  std::string group = "group.quorvelle.drive";
  std::filesystem::path containers;  // empty: the platform default
  std::string domain = "default";
  std::chrono::milliseconds timeout{30'000};
  std::chrono::milliseconds poll{2'000};
  bool daemon = false;
  bool startCompanion = true;
  bool debug = false;
  std::filesystem::path companionBinary;  // empty: next to this program, else on PATH
  std::filesystem::path store;            // empty: ${XDG_DATA_HOME:-~/.local/share}/quorvelle/store
  std::string remote;                     // set: the bundled companion serves this WebDAV URL
  std::filesystem::path netrc;
  std::filesystem::path cacert;
  std::optional<double> remotePollSeconds;
  std::optional<std::int64_t> cacheSize;     // unset: the default where the state folder lives
  std::optional<std::int64_t> cacheMinFree;  // likewise
};

// Returns the process exit status: 0 after a clean unmount, 1 on failure (message on `err`).
int runMount(const MountSettings& settings, std::ostream& out, std::ostream& err);
// Lists the changes still pending in the mount's outbox for the group and domain, each with how
// it stands (uploading, waiting for its parent, retrying after an error, parked); returns 0,
// or 1 when the outbox cannot be read.
// Then the cache: its size and bound, what is pinned, whether the companion is out of reach,
// what waits for other drives, and the state of each of `paths`.
int printStatus(const MountSettings& settings, bool json, std::ostream& out,
                const std::vector<std::string>& paths = {});

struct Entry;
// "create", "modify" or "delete".
const char* changeWord(const Entry& entry);

}  // namespace QuorvelleDrive::fuse
