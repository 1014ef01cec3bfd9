// The mount's own state for one app group and domain, under the host's state root:
// `outbox/` (changes still pending and their bytes, kept across runs), `fetched/` (where the
// extension puts fetched contents) and `lock`, which a live mount holds and which names its
// mountpoint. Only the holder of the lock empties the fetched folder, so a second mount of the
// same state never touches what a live one uses.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelleDrive::fuse {

class StateDirectory {
 public:
  // `<host state root>/<domain>/mount/<group>`; the registry's state root must be configured.
  static std::filesystem::path pathFor(const std::string& group, const std::string& domain);

  // Creates the folder (0700) when missing and takes its lock for `mountpoint`, then empties the
  // fetched folder (nothing there is the only copy of anything). Throws
  // std::runtime_error with a message for people when another live mount holds the lock, naming
  // its mountpoint, or when the folder cannot be had.
  static StateDirectory acquire(const std::filesystem::path& path,
                                const std::filesystem::path& mountpoint);

  // The mountpoint of the live mount that holds the lock of the state folder at `path`, or
  // nothing when no mount holds it. Looks only (the kernel's list of locks), so a mount
  // starting at the same moment is never refused on its account.
  static std::optional<std::filesystem::path> liveMount(const std::filesystem::path& path);

  StateDirectory(StateDirectory&& other) noexcept;
  StateDirectory& operator=(StateDirectory&&) = delete;
  // Empties the fetched folder and lets the lock go.
  ~StateDirectory();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path outbox() const { return path_ / "outbox"; }
  std::filesystem::path fetched() const { return path_ / "fetched"; }
  // Where earlier versions kept pending uploads: per group and domain, and before that per
  // domain only. The outbox adopts what is there.
  std::vector<std::filesystem::path> journals() const {
    return {path_ / "journal", path_.parent_path() / "journal"};
  }

 private:
  StateDirectory(std::filesystem::path path, int lock) : path_(std::move(path)), lock_(lock) {}
  void emptyScratch() const;

  std::filesystem::path path_;
  int lock_ = -1;
};

}  // namespace QuorvelleDrive::fuse
