// What `df` shows for the mount: the drive's real room, not a made-up size. A drive kept in a
// local folder has the room of the file system that holds that folder; a WebDAV server that
// tells its quota (RFC 4331, which the companion publishes in `server.json` beside its socket)
// has that quota; for a server that tells none, the mount answers with the file system of its
// own state folder, which bounds what can be written here before it lands.
#pragma once

#include <sys/statvfs.h>

#include <filesystem>
#include <string>

namespace QuorvelleDrive::fuse {

class DriveSpace {
 public:
  // `container`: where the companion publishes; `drive`: the store folder or server URL the
  // mount's state belongs to; `state`: the mount's state folder.
  DriveSpace(std::filesystem::path container, std::string drive, std::filesystem::path state)
      : container_(std::move(container)), drive_(std::move(drive)), state_(std::move(state)) {}

  // The answer to statfs, block size 4096. Never fails: a source that cannot be read gives way
  // to the next one. Thread-safe (reads files only).
  struct statvfs now() const;

 private:
  std::filesystem::path container_;
  std::string drive_;
  std::filesystem::path state_;
};

}  // namespace QuorvelleDrive::fuse
