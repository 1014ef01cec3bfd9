// One drive, one state. Everything the mount keeps (its outbox, its cache and its saved tree)
// belongs to the drive it was made for: a store folder or a server URL, as the companion
// publishes it beside its socket (`drive.json`). The state folder holds one drive's state in
// place and records which drive that is in `drive`; mounting another drive puts that state
// aside, under `other/<key>/`, and brings the other drive's own back (or starts afresh), so
// that pending changes of one drive are never replayed into another and wait for their own.
// Each step is a rename, so a mount ended at any point leaves every part with its drive.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelleDrive::fuse {

// The drive of a companion that publishes none.
inline constexpr const char* kUnidentifiedDrive = "an unidentified companion";

// The drive named by `<container>/drive.json`, when the file is whole and the process that
// wrote it still runs; nothing otherwise.
std::optional<std::string> publishedDrive(const std::filesystem::path& container);
// How a companion names a store folder: its absolute path, links resolved.
std::string driveOfStore(const std::filesystem::path& store);

// Whether the companion answering in `container` now serves `drive`, the drive whose state the
// mount holds: a companion of another drive that starts while the mount runs is treated as no
// companion at all. Thread-safe; cheap enough to ask before every call (`drive.json` is read
// again only when it changed).
class DriveGuard {
 public:
  DriveGuard(std::filesystem::path container, std::string drive)
      : container_(std::move(container)), drive_(std::move(drive)) {}
  bool admits();
  const std::string& drive() const { return drive_; }

 private:
  std::filesystem::path container_;
  std::string drive_;
  std::mutex mutex_;
  struct Seen {
    unsigned long long inode = 0;
    long long mtime = -1;
    std::optional<std::string> drive;
    long long pid = 0;
  } seen_;
};

class DriveStates {
 public:
  // `state` is a mount's state folder, which the caller holds locked.
  explicit DriveStates(std::filesystem::path state) : state_(std::move(state)) {}

  // The drive whose state is in place; nothing when none is recorded.
  std::optional<std::string> current() const;

  struct Aside {
    std::string drive;
    std::size_t pending = 0;  // changes still to go to it
  };
  // Puts `drive`'s state in place. Returns the drive whose state went aside, if another's did.
  // Throws std::runtime_error naming what could not be moved.
  std::optional<Aside> bringIn(const std::string& drive);

  // The states kept aside, with what is pending for each.
  std::vector<Aside> others() const;

  // The parts of a state that belong to its drive.
  static const std::vector<std::string>& parts();

 private:
  std::filesystem::path asideFolder(const std::string& drive) const;
  void record(const std::string& drive) const;

  std::filesystem::path state_;
};

}  // namespace QuorvelleDrive::fuse
