// The store: a plain directory tree that users open directly. New contents are staged in the
// hidden folder, synced, and renamed into place, so a crash leaves either the old or the new
// bytes, never a mix; a change to a folder's entries is durable once that folder is synced,
// which the caller does (for many changes at once). Names are resolved one folder at a
// time from descriptors, never as one long path: a path that fits inside the store works
// wherever the store lives, and a symbolic link is never followed, so nothing outside the store
// is ever reached through it. A symbolic link is an item only as its link file (link_file.h):
// the link x is the file "x.rclonelink" holding its target, and placing such a file makes,
// replaces or renames the link itself.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "companion/fd.h"

namespace QuorvelleDrive::companion {

// Incoming bytes in the staging folder; removed on destruction unless committed.
class StagedFile {
 public:
  StagedFile(UniqueFd fd, int stagingFolder, std::string name)
      : fd_(std::move(fd)), stagingFolder_(stagingFolder), name_(std::move(name)) {}
  StagedFile(StagedFile&&) = default;
  StagedFile& operator=(StagedFile&&) = delete;
  ~StagedFile();

  // Appends bytes; after the first failure the rest is dropped and error() keeps its errno.
  void append(const char* data, std::size_t size);
  // Appends `size` bytes taken from `socket` inside the kernel (splice where it allows); false
  // when the socket failed or ended first. A failed write lands in error() as above.
  bool receive(int socket, std::uint64_t size);
  // Flushes to the disk; a failure lands in error().
  void sync();
  int error() const { return error_; }
  int fd() const { return fd_.get(); }
  int stagingFolder() const { return stagingFolder_; }
  const std::string& name() const { return name_; }
  void markCommitted() { committed_ = true; }

 private:
  UniqueFd fd_;
  int stagingFolder_;  // the store's, which outlives every staged file
  std::string name_;
  int error_ = 0;
  off_t written_ = 0;
  bool committed_ = false;
};

// Where an entry is: its folder, held open, and its name there ("." for the store's root).
struct Place {
  UniqueFd folder;
  std::string name;
};

class Store {
 public:
  static constexpr const char* kHiddenName = ".quorvelle";

  // Creates the root and the hidden folder when missing and clears stale staged files; with
  // `prepare` false it only names an existing store, changing nothing.
  explicit Store(std::filesystem::path root, bool prepare = true);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path hiddenDir() const { return root_ / kHiddenName; }
  std::filesystem::path stagingDir() const { return hiddenDir() / "staging"; }

  // The folder reached from the root through `names`, each a real folder (a link, a file or a
  // missing name refuses with notFound).
  UniqueFd openFolder(const std::vector<std::string>& names) const;
  // A file to read; notFound when the name holds anything but a regular file.
  UniqueFd openFile(const Place& place) const;
  // The target of the link whose link file `place` names; notFound when there is no such link.
  std::string linkTarget(const Place& place) const;

  // A new staged file, with the mode a new file gets under the process's umask.
  StagedFile stage() const;
  // Moves synced staged bytes to `target`; without `replace` an existing target is refused.
  // A replaced file keeps its permission bits. At a link file's name, bytes that can be a
  // link's target make (or replace) the link; others are kept as a regular file of that name.
  void commit(StagedFile& staged, const Place& target, bool replace) const;
  void makeDirectory(const Place& target) const;
  // Never replaces what is at `to`. A link moved to a name that is no link file's becomes a
  // regular file holding its target; a regular file keeps being one under any name.
  void move(const Place& from, const Place& to) const;
  // Folders only when empty; a link itself, never what it points to.
  void remove(const Place& target, bool dir) const;
  // True when any program holds the file open for writing, so that replacing it would send that
  // program's later writes to a file no longer in the store. False where this cannot be told:
  // a file of another user, or a file system without leases.
  bool openForWriting(const Place& place) const;

 private:
  // Makes the link `name` -> `target` in `folder`, in one rename from the staging folder.
  void placeLink(const std::string& target, int folder, const std::string& name,
                 bool replace) const;
  // A regular file holding `bytes`, staged and synced.
  StagedFile stageBytes(const std::string& bytes) const;

  std::filesystem::path root_;
  UniqueFd rootFolder_;
  UniqueFd stagingFolder_;
};

// What the disk holds at an item's name: a regular file, a folder, or (at a link file's name) a
// symbolic link, described as its link file (its own inode and time, its target's length).
// Nothing else counts, and no link is followed.
struct DiskState {
  bool dir = false;
  bool link = false;
  std::int64_t inode = 0;
  std::string stamp;  // files: size and modification time; folders: empty
  double mtime = 0;
  std::uint64_t size = 0;
};
std::optional<DiskState> inspect(int folder, const std::string& name);
inline std::optional<DiskState> inspect(const Place& place) {
  return inspect(place.folder.get(), place.name);
}
// True when anything, of any kind, has that name.
bool taken(int folder, const std::string& name);
// True when an item could not be put at `name`: it, or the link a link file's name stands for,
// is taken.
bool occupied(int folder, const std::string& name);

// The item names in an open folder that are UTF-8 text, in no particular order: each entry's own
// name, a symbolic link's link file name. A real entry hides a link whose link file would have
// its name.
std::vector<std::string> entryNames(int folder);
// A folder inside an open one; invalid (errno set) when `name` is not a real folder.
UniqueFd openSubfolder(int folder, const std::string& name);

}  // namespace QuorvelleDrive::companion
