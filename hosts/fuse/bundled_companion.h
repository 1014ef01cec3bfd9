// The bundled companion that `qdrive mount` starts when none answers, owned for the life of the
// mount and stopped at its end. It is recorded in the mount's state folder (its pid, start time
// and what it serves), so that after a mount was killed the next mount of the same state finds
// the companion it left: it adopts it, and so stops it at its own end, when it serves the drive
// asked for; otherwise it stops it. Only the holder of the state's lock uses the record.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"

namespace QuorvelleDrive::fuse {

struct MountSettings;

class BundledCompanion {
 public:
  // `record`: the file in the mount's state folder that names the companion.
  explicit BundledCompanion(std::filesystem::path record);
  // Stops the companion it owns.
  ~BundledCompanion();
  BundledCompanion(const BundledCompanion&) = delete;
  BundledCompanion& operator=(const BundledCompanion&) = delete;

  // The store folder or server URL the bundled companion serves for `settings`.
  static std::string servingFor(const MountSettings& settings);

  // A companion an earlier mount of this state left running: adopted (true) when it answers
  // (`answers`) and serves `serving`, else stopped (false). Says which on `out`.
  bool adoptLeftover(const std::string& serving, bool answers, std::ostream& out);
  // Starts the companion for `settings` and waits until `socket` answers; false with a message
  // on `err` when it does not start.
  bool start(const MountSettings& settings, const std::filesystem::path& socket, std::ostream& out,
             std::ostream& err);
  // Asks it to stop (SIGTERM; SIGKILL when it has not ended after a while) and waits for its end.
  void stop();

 private:
  void own(pid_t pid, bool child);
  void remember(const std::string& serving) const;
  static void stopProcess(pid_t pid, int pidfd, bool child);

  std::filesystem::path record_;
  pid_t pid_ = -1;
  bool child_ = false;
  FileDescriptor pidfd_;  // tells the end of a process that may not be our child
};

// Whether a companion accepts connections at `socket`.
bool companionAnswers(const std::filesystem::path& socket);

}  // namespace QuorvelleDrive::fuse
