// App-group containers. A group's shared container is the directory <root>/<group>; the root is
// process-wide and configurable (default: $XDG_RUNTIME_DIR/quorvelle, else /tmp/quorvelle-<uid>).
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace QuorvelleDrive {

class FileManager {
 public:
  virtual ~FileManager() = default;

  // The process-wide manager; tests may replace it with a double (nullptr restores the default).
  static FileManager& defaultManager();
  static void setDefaultManager(std::shared_ptr<FileManager> manager);

  // The group's container directory, or none when the group is empty, is not a single plain path
  // component, or its directory does not exist. Safe from any thread.
  virtual std::optional<std::filesystem::path> containerURL(const std::string& group) const;

  static std::filesystem::path containersRoot();
  static void setContainersRoot(std::filesystem::path root);
};

}  // namespace QuorvelleDrive
