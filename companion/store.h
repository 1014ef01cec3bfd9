// The store: a plain directory tree that users open directly. Every change here is durable when
// the call returns; new contents are staged in the hidden folder and renamed into place, so a
// crash leaves either the old or the new bytes, never a mix.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "companion/fd.h"

namespace QuorvelleDrive::companion {

// Incoming bytes in the staging folder; removed on destruction unless committed.
class StagedFile {
 public:
  StagedFile(UniqueFd fd, std::filesystem::path path)
      : fd_(std::move(fd)), path_(std::move(path)) {}
  StagedFile(StagedFile&&) = default;
  StagedFile& operator=(StagedFile&&) = delete;
  ~StagedFile();

  // Appends bytes; after the first failure the rest is dropped and error() keeps its errno.
  void append(const char* data, std::size_t size);
  // Flushes to the disk; a failure lands in error().
  void sync();
  int error() const { return error_; }
  const std::filesystem::path& path() const { return path_; }
  int fd() const { return fd_.get(); }
  void markCommitted() { committed_ = true; }

 private:
  UniqueFd fd_;
  std::filesystem::path path_;
  int error_ = 0;
  bool committed_ = false;
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

  StagedFile stage() const;
  // Moves synced staged bytes to `target`; without `replace` an existing target is refused.
  void commit(StagedFile& staged, const std::filesystem::path& target, bool replace) const;
  void makeDirectory(const std::filesystem::path& target) const;
  // Never replaces what is at `to`.
  void move(const std::filesystem::path& from, const std::filesystem::path& to) const;
  // Folders only when empty.
  void remove(const std::filesystem::path& target, bool dir) const;

 private:
  std::filesystem::path root_;
};

// What the disk holds at a path; only regular files and folders count (links are not followed).
struct DiskState {
  bool dir = false;
  std::int64_t inode = 0;
  std::string stamp;  // files: size and modification time; folders: empty
  double mtime = 0;
  std::uint64_t size = 0;
};
std::optional<DiskState> inspect(const std::filesystem::path& path);

// Everything left to read from `fd`.
std::string readAll(int fd);

// fsync of a directory, so that names created or removed in it survive a crash.
void syncDirectory(const std::filesystem::path& dir);

}  // namespace QuorvelleDrive::companion
