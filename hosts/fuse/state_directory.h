// The mount's own state for one app group and domain, under the host's state root:
// `journal/` (uploads still pending), `scratch/` (local copies), `fetched/` (where the extension
// puts fetched contents) and `lock`, which a live mount holds and which names its mountpoint.
// Only the holder of the lock empties the scratch and fetched folders, so a second mount of the
// same state never touches what a live one uses.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace QuorvelleDrive::fuse {

class StateDirectory {
 public:
  // `<host state root>/<domain>/mount/<group>`; the registry's state root must be configured.
  static std::filesystem::path pathFor(const std::string& group, const std::string& domain);

  // Creates the folder (0700) when missing and takes its lock for `mountpoint`, then empties the
  // scratch and fetched folders (nothing there is the only copy of anything). Throws
  // std::runtime_error with a message for people when another live mount holds the lock, naming
  // its mountpoint, or when the folder cannot be had.
  static StateDirectory acquire(const std::filesystem::path& path,
                                const std::filesystem::path& mountpoint);

  StateDirectory(StateDirectory&& other) noexcept;
  StateDirectory& operator=(StateDirectory&&) = delete;
  // Empties the scratch and fetched folders and lets the lock go.
  ~StateDirectory();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path journal() const { return path_ / "journal"; }
  std::filesystem::path scratch() const { return path_ / "scratch"; }
  std::filesystem::path fetched() const { return path_ / "fetched"; }

 private:
  StateDirectory(std::filesystem::path path, int lock) : path_(std::move(path)), lock_(lock) {}
  void emptyScratch() const;

  std::filesystem::path path_;
  int lock_ = -1;
};

}  // namespace QuorvelleDrive::fuse
