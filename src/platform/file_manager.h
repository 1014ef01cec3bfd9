// App-group containers. A group's shared container is the directory <root>/<group>; the root is
// process-wide and configurable (default: $XDG_RUNTIME_DIR/quorvelle, else /tmp/quorvelle-<uid>).
//
// The container is where the hosts find the companion's socket, so it must be this user's alone:
// a folder another user could create first, own, or swap for a link would let that user stand in
// for the companion and receive every request and file body.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace QuorvelleDrive {

// Where a group's container is, or why there is none.
struct ContainerLookup {
  std::optional<std::filesystem::path> url;
  std::string problem;  // set when `url` is not: names the folder and what is wrong with it
};

class FileManager {
 public:
  virtual ~FileManager() = default;

  // The process-wide manager; tests may replace it with a double (nullptr restores the default).
  static FileManager& defaultManager();
  static void setDefaultManager(std::shared_ptr<FileManager> manager);

  // The group's container: the root and the group's folder are real directories (not symbolic
  // links) owned by the effective user and writable by no one else, created with mode 0700 when
  // missing. Anything else, and a group that is empty, "." or "..", or holds "/" or NUL, is no
  // container. Costs two lstat calls when the container exists. Safe from any thread.
  virtual ContainerLookup lookUpContainer(const std::string& group) const;
  std::optional<std::filesystem::path> containerURL(const std::string& group) const {
    return lookUpContainer(group).url;
  }

  static std::filesystem::path containersRoot();
  static void setContainersRoot(std::filesystem::path root);

  // What keeps `folder` from being one level of a container (see lookUpContainer), creating it
  // with mode 0700 when it is missing; empty when nothing does.
  static std::string privateFolderProblem(const std::filesystem::path& folder);
};

}  // namespace QuorvelleDrive
